# The process's Prometheus registry (prometheus-cpp core), shared by the host
# and the component.
add_library(vel_metrics SHARED metrics_registry.cc)
target_link_libraries(vel_metrics PUBLIC vel_core PkgConfig::PROMETHEUS_CORE)
