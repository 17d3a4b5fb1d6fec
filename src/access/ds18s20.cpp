// Placeholder: this family is being written.
