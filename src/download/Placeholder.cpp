// Replaced by the download engine.
