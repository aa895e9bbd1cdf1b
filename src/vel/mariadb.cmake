# Filled in by the mariadb module.
