# Filled in by the message module.
