// DRAT checker core (placeholder).
