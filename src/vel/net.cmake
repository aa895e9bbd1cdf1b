# Filled in by the net module.
