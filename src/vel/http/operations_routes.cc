#include "vel/http/internal/operations_routes.h"

#include "vel/core/json.h"
#include "vel/http/api_service.h"
#include "vel/http/health_checks.h"
#include "vel/metrics/metrics_registry.h"

namespace vel {
namespace {

void AnswerJson(ApiService::Response* response, int status, const Json& value) {
  response->status = status;
  response->headers["Content-Type"] = "application/json";
  response->body = value.ToString(false);
}

bool ServeMetrics(ApiService::Response* response,
                  const ApiService::Request& /*request*/,
                  const ApiService::Match& /*match*/) {
  response->status = 200;
  response->headers["Content-Type"] =
      "text/plain; version=0.0.4; charset=utf-8";
  response->body = MetricsRegistry::Serialize();
  return true;
}

bool ServeHealth(ApiService::Response* response,
                 const ApiService::Request& /*request*/,
                 const ApiService::Match& /*match*/) {
  Json body = Json::MakeObject();
  body.Set("status", Json("ok"));
  AnswerJson(response, 200, body);
  return true;
}

bool ServeReadiness(ApiService::Response* response,
                    const ApiService::Request& /*request*/,
                    const ApiService::Match& /*match*/) {
  const HealthChecks::Readiness readiness = HealthChecks::CheckReadiness();
  Json checks = Json::MakeObject();
  for (const auto& [name, error] : readiness.results) {
    Json check = Json::MakeObject();
    check.Set("ok", Json(error.empty()));
    if (!error.empty()) check.Set("error", Json(error));
    const auto note = readiness.notes.find(name);
    if (note != readiness.notes.end()) check.Set("note", Json(note->second));
    checks.Set(name, check);
  }
  Json failing = Json::MakeArray();
  for (const auto& name : readiness.failing) failing.Append(Json(name));
  Json body = Json::MakeObject();
  body.Set("ready", Json(readiness.ready));
  body.Set("failing", failing);
  body.Set("checks", checks);
  AnswerJson(response, readiness.ready ? 200 : 503, body);
  return true;
}

}  // namespace

void InstallOperationsRoutes() {
  ApiService::RegisterHandler(ApiService::kGet, boost::regex("/metrics"),
                              &ServeMetrics);
  // Probes of orchestrators and load balancers carry no token.
  ApiService::RegisterHandler(ApiService::kGet, boost::regex("/healthz"),
                              &ServeHealth, ApiService::Access::kOpen);
  ApiService::RegisterHandler(ApiService::kGet, boost::regex("/readyz"),
                              &ServeReadiness, ApiService::Access::kOpen);
}

}  // namespace vel
