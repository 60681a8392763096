#include <mutex>
#include <string>
#include <utility>

#include "core/json_writer.h"
#include "core/version.h"
#include "server/server_state.h"

namespace tessvark {
namespace {

using httplib::ContentReader;
using httplib::Request;
using httplib::Response;
using Impl = LocalHttpServer::Impl;
using BodyCall = std::function<RuntimeResponse(OcrRuntime&, const std::string& body)>;

constexpr char kJson[] = "application/json";
constexpr char kNoStore[] = "no-store, max-age=0";
// Matches every decoded path, line breaks included.
constexpr char kAnyPath[] = R"([\s\S]*)";

// Reads the whole body, never more than the body limit: the library limits only bodies with a
// declared length, not chunked, unframed or compressed ones. False when the body was refused; the
// reply then holds 413 over the limit, or the library's own status for a malformed body.
bool ReadCappedBody(const Impl& impl, const Request& req, Response& res,
                    const ContentReader& reader, std::string& body) {
  const std::uint64_t limit = impl.options.max_body_bytes;
  std::uint64_t received = 0;
  bool too_large = false;
  auto take = [&](const char* data, std::size_t length, bool keep) {
    if (length > limit - received) {
      too_large = true;
      return false;
    }
    received += length;
    if (keep) body.append(data, length);
    return true;
  };
  bool ok = false;
  if (req.is_multipart_form_data()) {
    // Form uploads carry no JSON body; their parts are counted against the limit and dropped.
    ok = reader([](const httplib::MultipartFormData&) { return true; },
                [&](const char* data, std::size_t length) { return take(data, length, false); });
  } else {
    ok = reader([&](const char* data, std::size_t length) { return take(data, length, true); });
  }
  if (ok) return true;
  body.clear();
  if (too_large) {
    SendJsonError(res, 413, "Request body is too large.");
  } else if (res.status < 400) {
    res.status = 400;
  }
  return false;
}

// Answers as for a route this build does not serve; the error reply words it.
void AnswerAbsent(Response& res) { res.status = 404; }

void SendUpdateStatus(const Impl& impl, Response& res) {
  SendBody(res, impl.updates.status_json(), kJson, kNoStore);
}

// Starts a download or an installation; the reply shows the status after the start.
void RunUpdateStep(const Impl& impl, Response& res, const std::function<bool()>& step,
                   const char* refusal) {
  if (!step || !impl.updates.status_json) return AnswerAbsent(res);
  if (!step()) return SendJsonError(res, 503, refusal);
  SendUpdateStatus(impl, res);
}

std::string VersionJson() {
  JsonWriter out(kApiJson);
  out.BeginObject();
  out.Key("product").String("Tessvark");
  out.Key("version").String(kProgramVersion);
  out.Key("build").Int(kProgramBuild);
  out.Key("prerelease").String(kProgramPrerelease);
  out.Key("platform").String(kPlatformName);
  out.Key("channel").String(kProgramChannel);
  return out.EndObject().Take();
}

void OutputsJson(Impl& impl, Response& res) {
  MutexLock lock(impl.output_mutex);
  SendBody(
      res,
      impl.vmix_output_enabled ? "{\"enabled\":{\"vmix\":true}}" : "{\"enabled\":{\"vmix\":false}}",
      kJson, nullptr);
}

class RouteTable {
 public:
  RouteTable(Impl& impl, httplib::Server& server) : impl_(impl), server_(server) {}

  void Get(const char* pattern, std::function<void(Impl&, const Request&, Response&)> handler) {
    Impl* impl = &impl_;
    server_.Get(pattern,
                [impl, handler](const Request& req, Response& res) { handler(*impl, req, res); });
  }

  void GetRuntime(const char* pattern, std::function<RuntimeResponse(OcrRuntime&)> call) {
    Get(pattern,
        [call](Impl& impl, const Request&, Response& res) { CallRuntime(impl, res, call); });
  }

  // A state-changing route; its handler decides whether the body is read.
  void Change(const char* method, const char* pattern,
              std::function<void(Impl&, const Request&, Response&, const ContentReader&)> handler) {
    Impl* impl = &impl_;
    auto bound = [impl, handler](const Request& req, Response& res, const ContentReader& reader) {
      handler(*impl, req, res, reader);
    };
    const std::string m = method;
    if (m == "POST") {
      server_.Post(pattern, bound);
    } else if (m == "PUT") {
      server_.Put(pattern, bound);
    } else if (m == "PATCH") {
      server_.Patch(pattern, bound);
    } else {
      server_.Delete(pattern, bound);
    }
  }

  // A runtime route that hands the operation the request body.
  void ChangeWithBody(const char* method, const char* pattern, BodyCall call) {
    Change(method, pattern,
           [call](Impl& impl, const Request& req, Response& res, const ContentReader& reader) {
             std::string body;
             if (!ReadCappedBody(impl, req, res, reader, body)) return;
             CallRuntime(impl, res, [&](OcrRuntime& runtime) { return call(runtime, body); });
           });
  }

  // A runtime route that takes no body, whatever the client sent.
  void ChangeWithoutBody(const char* method, const char* pattern,
                         std::function<RuntimeResponse(OcrRuntime&, const Request&)> call) {
    Change(method, pattern,
           [call](Impl& impl, const Request& req, Response& res, const ContentReader&) {
             CallRuntime(impl, res, [&](OcrRuntime& runtime) { return call(runtime, req); });
           });
  }

 private:
  Impl& impl_;
  httplib::Server& server_;
};

void RegisterHostRoutes(RouteTable& routes) {
  routes.Get("/", [](Impl& impl, const Request&, Response& res) { ServeIndexPage(impl, res); });
  for (const char* pattern : {R"(/favicon\.png)", R"(/favicon\.ico)"}) {
    routes.Get(pattern, [](Impl& impl, const Request&, Response& res) {
      ServeUiFile(res, impl.options.ui_root + "/assets/favicon.png", "image/png", kNoStore);
    });
  }
  routes.Get(R"(/assets/tessvark-wordmark\.png)", [](Impl& impl, const Request&, Response& res) {
    ServeUiFile(res, impl.options.ui_root + "/assets/tessvark-wordmark.png", "image/png", kNoStore);
  });
  routes.Get("/health", [](Impl&, const Request&, Response& res) {
    SendBody(res, "{\"status\":\"ok\",\"service\":\"Tessvark Agent\",\"schema_version\":\"1\"}",
             kJson, nullptr);
  });
  routes.Get("/api/health", [](Impl&, const Request&, Response& res) {
    SendBody(res, "{\"ok\":true}", kJson, nullptr);
  });
  routes.Get("/api/system/resources", [](Impl& impl, const Request&, Response& res) {
    if (!impl.resources.sample_json) return AnswerAbsent(res);
    SendBody(res, impl.resources.sample_json(), kJson, kNoStore);
  });
  routes.Change("POST", "/api/system/resources/release",
                [](Impl& impl, const Request&, Response& res, const ContentReader&) {
                  if (!impl.resources.release) return AnswerAbsent(res);
                  impl.resources.release();
                  SendBody(res, "{\"released\":true}", kJson, kNoStore);
                });
  routes.Get("/api/version", [](Impl&, const Request&, Response& res) {
    SendBody(res, VersionJson(), kJson, nullptr);
  });
  routes.Change("POST", "/api/updates/check",
                [](Impl& impl, const Request&, Response& res, const ContentReader&) {
                  if (!impl.updates.start_check) return AnswerAbsent(res);
                  impl.updates.start_check();
                  // A build with no update server still runs the check, which ends at once
                  // with "not_configured"; the reply must not claim a server to check against.
                  const bool configured = !impl.updates.configured || impl.updates.configured();
                  SendBody(res,
                           configured ? "{\"configured\":true,\"started\":true}"
                                      : "{\"configured\":false,\"started\":true}",
                           kJson, kNoStore);
                });
  routes.Get("/api/updates", [](Impl& impl, const Request&, Response& res) {
    if (!impl.updates.status_json) return AnswerAbsent(res);
    SendUpdateStatus(impl, res);
  });
  routes.Change("POST", "/api/updates/download",
                [](Impl& impl, const Request&, Response& res, const ContentReader&) {
                  RunUpdateStep(impl, res, impl.updates.start_download,
                                "Update download is not ready");
                });
  routes.Change("POST", "/api/updates/install",
                [](Impl& impl, const Request&, Response& res, const ContentReader&) {
                  RunUpdateStep(impl, res, impl.updates.install,
                                "Update installation is not ready");
                });
  routes.Get("/api/v1/outputs",
             [](Impl& impl, const Request&, Response& res) { OutputsJson(impl, res); });
  routes.Get("/api/ui/state/stream",
             [](Impl& impl, const Request&, Response& res) { OpenStateStream(impl, res); });
  routes.Get("/preview", [](Impl& impl, const Request&, Response& res) {
    ServeSourcePreview(impl, res, false);
  });
  routes.Get("/preview/working", [](Impl& impl, const Request&, Response& res) {
    ServeSourcePreview(impl, res, true);
  });
}

void RegisterRuntimeRoutes(RouteTable& routes) {
  using R = OcrRuntime;
  using S = const std::string&;
  routes.GetRuntime("/api/v1/outputs/vmix", [](R& r) { return r.GetVmixOutput(); });
  routes.ChangeWithBody("PUT", "/api/v1/outputs/vmix",
                        [](R& r, S b) { return r.SetVmixOutput(b); });
  routes.ChangeWithBody("POST", "/api/v1/outputs/vmix/test",
                        [](R& r, S b) { return r.TestVmixOutput(b); });
  routes.ChangeWithBody("POST", "/api/v1/outputs/vmix/discover",
                        [](R& r, S b) { return r.DiscoverVmixInputs(b); });
  routes.ChangeWithoutBody("POST", "/api/v1/outputs/vmix/discover-lan",
                           [](R& r, const Request&) { return r.StartVmixLanSearch(); });
  routes.GetRuntime("/api/v1/outputs/vmix/discover-lan", [](R& r) { return r.GetVmixLanSearch(); });
  routes.ChangeWithoutBody("POST", "/api/v1/outputs/vmix/discover-lan/cancel",
                           [](R& r, const Request&) { return r.CancelVmixLanSearch(); });
  routes.ChangeWithBody("PUT", "/api/v1/outputs", [](R& r, S b) { return r.SetOutputSwitches(b); });
  routes.GetRuntime("/api/zones", [](R& r) { return r.ListZones(); });
  routes.ChangeWithBody("POST", "/api/zones", [](R& r, S b) { return r.CreateZone(b); });
  // Registered before the zone-id pattern, which would take "order" and "hide-empty" as ids.
  routes.ChangeWithBody("PUT", "/api/zones/order", [](R& r, S b) { return r.ReorderZones(b); });
  routes.GetRuntime("/api/zones/hide-empty", [](R& r) { return r.GetHideEmpty(); });
  routes.ChangeWithBody("PUT", "/api/zones/hide-empty",
                        [](R& r, S b) { return r.SetHideEmpty(b); });
  routes.Change("PUT", "/api/zones/([^/]+)",
                [](Impl& impl, const Request& req, Response& res, const ContentReader& reader) {
                  std::string body;
                  if (!ReadCappedBody(impl, req, res, reader, body)) return;
                  const std::string zone_id = req.matches[1].str();
                  CallRuntime(impl, res, [&](R& r) { return r.UpdateZone(zone_id, body); });
                });
  routes.ChangeWithoutBody("DELETE", "/api/zones/([^/]+)", [](R& r, const Request& req) {
    return r.DeleteZone(req.matches[1].str());
  });
  routes.Get("/api/zones/([^/]+)/crop", [](Impl& impl, const Request& req, Response& res) {
    ServeZonePreview(impl, req, res, "crop", -1);
  });
  routes.Get("/api/zones/([^/]+)/processed-preview",
             [](Impl& impl, const Request& req, Response& res) {
               ServeZonePreview(impl, req, res, "processed-preview", -1);
             });
  routes.Get("/api/zones/([^/]+)/slot-preview/([^/]+)", ServeSlotPreview);
  routes.GetRuntime("/api/source/geometry", [](R& r) { return r.GetSourceGeometry(); });
  routes.ChangeWithBody("PUT", "/api/source/geometry",
                        [](R& r, S b) { return r.SetSourceGeometry(b); });
  routes.GetRuntime("/api/status", [](R& r) { return r.GetStatus(); });
  routes.GetRuntime("/api/sources", [](R& r) { return r.ListSources(); });
  routes.ChangeWithBody("POST", "/api/sources/refresh",
                        [](R& r, S b) { return r.RefreshSources(b); });
  routes.ChangeWithBody("PUT", "/api/source", [](R& r, S b) { return r.SelectSource(b); });
  routes.ChangeWithBody("PUT", "/api/source/srt", [](R& r, S b) { return r.SetSrtSettings(b); });
  routes.ChangeWithBody("POST", "/api/source/srt/listening",
                        [](R& r, S b) { return r.SetSrtListening(b); });
  // The method and path handed on are the route's own, not the request's.
  routes.GetRuntime("/api/sports/catalog",
                    [](R& r) { return r.HandleSports("GET", "/api/sports/catalog", ""); });
  routes.ChangeWithoutBody("POST", "/api/sports/catalog/apply", [](R& r, const Request&) {
    return r.HandleSports("POST", "/api/sports/catalog/apply", "");
  });
  routes.GetRuntime("/api/sports/selection",
                    [](R& r) { return r.HandleSports("GET", "/api/sports/selection", ""); });
  routes.ChangeWithBody("PUT", "/api/sports/selection", [](R& r, S b) {
    return r.HandleSports("PUT", "/api/sports/selection", b);
  });
  routes.GetRuntime("/api/display-format",
                    [](R& r) { return r.HandleDisplayFormat("GET", "/api/display-format", ""); });
  routes.ChangeWithBody("PUT", "/api/display-format", [](R& r, S b) {
    return r.HandleDisplayFormat("PUT", "/api/display-format", b);
  });
  routes.ChangeWithoutBody("DELETE", "/api/source",
                           [](R& r, const Request&) { return r.ClearSource(); });
  routes.Get(
      "/api/sources/example/([^/]+)/image",
      [](Impl& impl, const Request& req, Response& res) { ServeExampleImage(impl, req, res); });
}

}  // namespace

void RegisterRoutes(Impl& impl, httplib::Server& server) {
  Impl* state = &impl;
  server.set_pre_routing_handler(
      [state](const Request& req, Response& res) { return PreRoute(*state, req, res); });
  server.set_post_routing_handler([](const Request&, Response& res) { AddSecurityHeaders(res); });
  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const Request& req, Response& res) { return ErrorReply(req, res); }));
  server.set_exception_handler(
      [](const Request&, Response& res, std::exception_ptr) { ExceptionReply(res); });
  RouteTable routes(impl, server);
  RegisterHostRoutes(routes);
  RegisterRuntimeRoutes(routes);
  // Without these the library would read the body of an unrouted request into memory, without a
  // limit, before answering 404. They read nothing; the error reply words the 404.
  for (const char* method : {"POST", "PUT", "PATCH", "DELETE"}) {
    routes.Change(method, kAnyPath, [](Impl&, const Request&, Response& res, const ContentReader&) {
      AnswerAbsent(res);
    });
  }
}

void CallRuntime(Impl& impl, Response& res, const RuntimeCall& call) {
  OcrRuntime* runtime = impl.runtime.load();
  if (runtime == nullptr) {
    SendJsonError(res, 503, kUnavailableMessage);
    return;
  }
  RuntimeResponse reply = call(*runtime);
  res.status = reply.status;
  SetMovedContent(res, std::move(reply.body), reply.content_type);
}

}  // namespace tessvark
