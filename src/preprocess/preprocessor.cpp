// Preprocessor core (placeholder).
