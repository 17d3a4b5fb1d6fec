// Placeholder: this family's model is being written.
