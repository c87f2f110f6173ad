// Portfolio runner (placeholder).
