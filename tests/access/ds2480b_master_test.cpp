// Placeholder: these tests are being written.
