// The routes that monitoring and orchestration tools poll on the API
// service:
//   GET /metrics  every Prometheus metric (MetricsRegistry), text format
//   GET /healthz  200 {"status": "ok"} while the process serves HTTP
//   GET /readyz   200 while every readiness check passes (HealthChecks),
//                 else 503; the JSON body names the failing checks
// /healthz and /readyz are open: probes carry no API token; /metrics needs
// it when one is set.
#pragma once

namespace vel {

// For ApiService only: Start() installs the three routes.
void InstallOperationsRoutes();

}  // namespace vel
