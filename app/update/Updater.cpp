// The Updater operations; filled in by the update flows.
