// Filled in with its window.
