# Filled in by the host module.
