# Filled in by the api module.
