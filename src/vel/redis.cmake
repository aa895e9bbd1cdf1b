# Filled in by the redis module.
