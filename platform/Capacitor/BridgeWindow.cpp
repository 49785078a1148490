#include "platform/Capacitor/BridgeWindow.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string_view>

#include "platform/Capacitor/CapacitorBridge.h"
#include "platform/Cordova/CommandBridge.h"
#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/Log.h"
#include "platform/Foundation/RunLoop.h"

namespace platform {
namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr char kScheme[] = "app";
constexpr char kOrigin[] = "app://localhost";
constexpr std::string_view kPagePrefix = "app://localhost/";

BridgeWindow::Configuration& configuration() {
  static BridgeWindow::Configuration c;
  return c;
}

bool isOwnPage(const char* uri) {
  return uri && std::string_view(uri).starts_with(kPagePrefix);
}

std::optional<std::string> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const char* mimeType(const fs::path& path) {
  const std::string ext = path.extension().string();
  if (ext == ".html" || ext == ".htm") return "text/html";
  if (ext == ".js" || ext == ".mjs") return "text/javascript";
  if (ext == ".css") return "text/css";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".png") return "image/png";
  if (ext == ".json") return "application/json";
  if (ext == ".ico") return "image/x-icon";
  return "application/octet-stream";
}

// A path under the web root, or nothing for a path that would leave it.
std::optional<fs::path> underRoot(const std::string& root, std::string_view path) {
  if (path.find('\0') != std::string_view::npos || path.find('\\') != std::string_view::npos)
    return std::nullopt;
  const fs::path relative = fs::path(path).relative_path();
  for (const fs::path& part : relative) {
    if (part == "..") return std::nullopt;
  }
  std::error_code error;
  const fs::path base = fs::canonical(root, error);
  if (error) return std::nullopt;
  const fs::path full = fs::weakly_canonical(base / relative, error);
  if (error) return std::nullopt;
  const auto [rootEnd, unused] = std::mismatch(base.begin(), base.end(), full.begin(), full.end());
  (void)unused;
  if (rootEnd != base.end()) return std::nullopt;
  return full;
}

}  // namespace

struct BridgeWindow::Impl {
  GtkWidget* window = nullptr;
  WebKitWebView* view = nullptr;
  WebKitUserContentManager* content = nullptr;
  std::unique_ptr<CommandBridge> cordova;
  std::unique_ptr<CapacitorBridge> capacitor;
  // Answers from the bridge's threads reach the page through the main loop,
  // which may run them after the window is gone.
  std::shared_ptr<Impl*> alive = std::make_shared<Impl*>(this);

  void evaluate(const std::string& script) {
    if (view)
      webkit_web_view_evaluate_javascript(view, script.c_str(), -1, nullptr, nullptr, nullptr,
                                          nullptr, nullptr);
  }

  void enableInspector() {
    WebKitSettings* settings = webkit_web_view_get_settings(view);
    if (webkit_settings_get_enable_developer_extras(settings)) return;
    webkit_settings_set_enable_developer_extras(settings, TRUE);
    webkit_settings_set_enable_write_console_messages_to_stdout(settings, TRUE);
    NSLog("BridgeWindow: the web inspector is on");
  }

  // A plugin asked for the inspector (on its thread).
  void inspectorRequested() {
    if (!configuration().inspectorOnRequest) {
      NSLog(
          "BridgeWindow: a plugin asked for the web inspector; the application does not allow it");
      return;
    }
    std::weak_ptr<Impl*> target = alive;
    RunLoop::main().post([target] {
      if (std::shared_ptr<Impl*> impl = target.lock()) (*impl)->enableInspector();
    });
  }

  static std::optional<std::string> resource(const std::string& path, const char*& mime) {
    const Configuration& c = configuration();
    mime = "text/javascript";
    if (path == "/cordova.js") return readFile(c.cordovaScript);
    if (path == "/cordova_plugins.js") {
      json list = json::array();
      for (const CordovaModule& m : c.cordovaModules) {
        list.push_back({{"id", m.id},
                        {"file", m.urlPath},
                        {"pluginId", m.pluginId},
                        {"clobbers", json::array({m.clobbers})}});
      }
      return "cordova.define('cordova/plugin_list', function(require, exports, module) {\n"
             "module.exports = " +
             list.dump(2) + ";\n});\n";
    }
    for (const CordovaModule& m : c.cordovaModules) {
      if (path.substr(1) != m.urlPath) continue;
      // What Cordova's tooling does to a plugin's module when it copies it
      // into an application.
      std::optional<std::string> body = readFile(m.file);
      if (!body) return std::nullopt;
      return "cordova.define(" + json(m.id).dump() + ", function(require, exports, module) {\n" +
             *body + "\n});\n";
    }
    for (const auto& [url, file] : c.scripts) {
      if (path == url) return readFile(file);
    }
    const std::string page = path == "/" ? "/index.html" : path;
    const std::optional<fs::path> file = underRoot(c.webRoot, page);
    if (!file) return std::nullopt;
    mime = mimeType(*file);
    return readFile(*file);
  }

  static void onScheme(WebKitURISchemeRequest* request, gpointer) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    const char* mime = nullptr;
    std::optional<std::string> body;
    if (std::string_view(uri).starts_with(kPagePrefix)) {
      body = resource(webkit_uri_scheme_request_get_path(request), mime);
    }
    if (!body) {
      GError* error = g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "Not found: %s", uri);
      webkit_uri_scheme_request_finish_error(request, error);
      g_error_free(error);
      return;
    }
    const gsize size = body->size();
    gpointer copy = g_memdup2(body->data(), size);
    GInputStream* stream =
        g_memory_input_stream_new_from_data(copy, static_cast<gssize>(size), g_free);
    WebKitURISchemeResponse* response =
        webkit_uri_scheme_response_new(stream, static_cast<gint64>(size));
    // With headers of its own, the response's type is the one they carry.
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_set_content_type(headers, mime, nullptr);
    soup_message_headers_append(headers, "Content-Security-Policy",
                                configuration().contentSecurityPolicy.c_str());
    soup_message_headers_append(headers, "X-Content-Type-Options", "nosniff");
    webkit_uri_scheme_response_set_http_headers(response, headers);  // takes them
    webkit_uri_scheme_request_finish_with_response(request, response);
    g_object_unref(response);
    g_object_unref(stream);
  }

  // The message a page posted, as JSON, when the page is the application's.
  std::optional<std::string> ownMessage(WebKitJavascriptResult* result, const char* handler) {
    if (!isOwnPage(webkit_web_view_get_uri(view))) {
      NSLog(std::string("BridgeWindow: ignored a \"") + handler + "\" message from " +
            (webkit_web_view_get_uri(view) ? webkit_web_view_get_uri(view) : "no page"));
      return std::nullopt;
    }
    char* text = jsc_value_to_json(webkit_javascript_result_get_js_value(result), 0);
    if (!text) return std::nullopt;
    std::string message(text);
    g_free(text);
    return message;
  }

  static void onCordovaMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                               gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    if (std::optional<std::string> message = impl->ownMessage(result, "cordova")) {
      impl->cordova->receive(std::move(*message));
    }
  }

  static void onCapacitorMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                 gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    if (std::optional<std::string> message = impl->ownMessage(result, "bridge")) {
      impl->capacitor->receive(*message);
    }
  }

  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
        (isOwnPage(uri) || std::string_view(uri) == "about:blank")) {
      return FALSE;
    }
    NSLog(std::string("BridgeWindow: not following ") + uri);
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }

  // No page opens a window (window.open, target="_blank").
  static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer) {
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    NSLog(std::string("BridgeWindow: not opening a window for ") + (uri ? uri : "no address"));
    return nullptr;
  }

  static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    if (event == WEBKIT_LOAD_COMMITTED) static_cast<Impl*>(data)->capacitor->pageReset();
  }

  static WebKitWebView* onCreateWebView(WebKitAutomationSession*, gpointer data) {
    return static_cast<Impl*>(data)->view;
  }

  static void onAutomationStarted(WebKitWebContext*, WebKitAutomationSession* session,
                                  gpointer data) {
    WebKitApplicationInfo* info = webkit_application_info_new();
    const BundleInfo bundle = Bundle::main();
    webkit_application_info_set_name(info, bundle.name.c_str());
    webkit_application_info_set_version(info, 1, 0, 0);
    webkit_automation_session_set_application_info(session, info);
    webkit_application_info_unref(info);
    g_signal_connect(session, "create-web-view", G_CALLBACK(onCreateWebView), data);
  }

  // The bridge script asks for its settings with synchronous prompts
  // ({"type": "CapacitorCookies.isEnabled"} and {"type": "CapacitorHttp"});
  // neither feature is offered. Every other dialog is the page's own.
  static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer) {
    if (webkit_script_dialog_get_dialog_type(dialog) != WEBKIT_SCRIPT_DIALOG_PROMPT) return FALSE;
    const json asked = json::parse(webkit_script_dialog_get_message(dialog), nullptr, false);
    if (!asked.is_object() || !asked.contains("type") || !asked["type"].is_string()) return FALSE;
    const std::string type = asked["type"].get<std::string>();
    if (type != "CapacitorCookies.isEnabled" && type != "CapacitorHttp") return FALSE;
    webkit_script_dialog_prompt_set_text(dialog, "false");
    return TRUE;
  }

  static void onViewClose(WebKitWebView*, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    if (impl->window) gtk_window_close(GTK_WINDOW(impl->window));
  }

  // The two bridges: Cordova's answers reach the page through the main run
  // loop; the Capacitor bridge's scripts are run at once (main thread).
  void makeBridges(const Configuration& c) {
    std::weak_ptr<Impl*> page = alive;
    cordova = std::make_unique<CommandBridge>([page](const std::string& answer) {
      RunLoop::main().post([page, answer] {
        std::shared_ptr<Impl*> target = page.lock();
        if (!target) return;
        // A refusal's message goes as Cordova's two-part message [message,
        // status], so the error callback hears the status too (the bridge's
        // own refusals are not the plugin's status 9). A part may not be null.
        (*target)->evaluate(
            "(function (a) { var c = window.cordova; if (!c || !c.require) return; "
            "var m = a.status > 1 && a.message !== null "
            "? {CDVType: 'MultiPart', messages: [a.message, a.status]} : a.message; "
            "c.require('cordova/exec').nativeCallback(a.callbackId, a.status, m, "
            "a.keepCallback); })(" +
            answer + ");");
      });
    });
    cordova->setInspectorHandler([this] { inspectorRequested(); });
    if (c.registerPlugins) c.registerPlugins(*cordova);
    capacitor =
        std::make_unique<CapacitorBridge>([this](const std::string& script) { evaluate(script); });
  }

  static WebKitWebContext* makeContext(const Configuration& c, Impl* impl) {
    WebKitWebContext* context = webkit_web_context_get_default();
    static bool schemeRegistered = false;
    if (!schemeRegistered) {
      webkit_web_context_register_uri_scheme(context, kScheme, Impl::onScheme, nullptr, nullptr);
      webkit_security_manager_register_uri_scheme_as_secure(
          webkit_web_context_get_security_manager(context), kScheme);
      schemeRegistered = true;
    }
    if (c.automation) {
      webkit_web_context_set_automation_allowed(context, TRUE);
      g_signal_connect(context, "automation-started", G_CALLBACK(Impl::onAutomationStarted), impl);
    }
    return context;
  }

  // The frameworks' bridge script in the top frame of every page, and the
  // two message handlers.
  void makeContent(const Configuration& c) {
    content = webkit_user_content_manager_new();
    if (std::optional<std::string> bridge = readFile(c.capacitorBridgeScript)) {
      // The bridge leaves an empty `cordova` placeholder for pages without
      // Cordova; Cordova's own cordova.js, which this window serves, refuses to
      // load over one.
      const std::string source =
          CapacitorBridge::preamble(kOrigin) + *bridge +
          "\nif (window.cordova && Object.keys(window.cordova).length === 0) "
          "delete window.cordova;\n";
      WebKitUserScript* script =
          webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                 WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
      webkit_user_content_manager_add_script(content, script);
      webkit_user_script_unref(script);
    } else {
      NSLog("BridgeWindow: cannot read the native bridge script " + c.capacitorBridgeScript);
    }
    webkit_user_content_manager_register_script_message_handler(content, "cordova");
    webkit_user_content_manager_register_script_message_handler(content, "bridge");
    g_signal_connect(content, "script-message-received::cordova",
                     G_CALLBACK(Impl::onCordovaMessage), this);
    g_signal_connect(content, "script-message-received::bridge",
                     G_CALLBACK(Impl::onCapacitorMessage), this);
  }

  void makeView(const Configuration& c, WebKitWebContext* context) {
    view = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", content,
                     "is-controlled-by-automation", c.automation ? TRUE : FALSE, nullptr));
    g_object_ref_sink(view);  // kept until the window object goes
    if (c.inspector) enableInspector();
    g_signal_connect(view, "decide-policy", G_CALLBACK(Impl::onDecidePolicy), this);
    g_signal_connect(view, "load-changed", G_CALLBACK(Impl::onLoadChanged), this);
    g_signal_connect(view, "create", G_CALLBACK(Impl::onCreate), this);
    g_signal_connect(view, "close", G_CALLBACK(Impl::onViewClose), this);
    g_signal_connect(view, "script-dialog", G_CALLBACK(Impl::onScriptDialog), this);
  }

  void makeWindow(const Configuration& c) {
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref(window);
    gtk_window_set_title(GTK_WINDOW(window), c.title.c_str());
    gtk_window_set_default_size(GTK_WINDOW(window), c.width, c.height);
    if (c.minWidth > 0 || c.minHeight > 0) {
      gtk_widget_set_size_request(window, c.minWidth > 0 ? c.minWidth : -1,
                                  c.minHeight > 0 ? c.minHeight : -1);
    }
    if (GdkRGBA colour; !c.backgroundColor.empty()) {
      if (gdk_rgba_parse(&colour, c.backgroundColor.c_str())) {
        webkit_web_view_set_background_color(view, &colour);
      } else {
        NSLog("BridgeWindow: not a colour: " + c.backgroundColor);
      }
    }
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
    webkit_web_view_load_uri(view, (std::string(kOrigin) + "/index.html").c_str());
  }
};

void BridgeWindow::configure(Configuration c) {
  configuration() = std::move(c);
}

BridgeWindow::BridgeWindow() : impl_(std::make_unique<Impl>()) {
  const Configuration& c = configuration();
  impl_->makeBridges(c);
  WebKitWebContext* context = Impl::makeContext(c, impl_.get());
  impl_->makeContent(c);
  impl_->makeView(c, context);
  impl_->makeWindow(c);
}

BridgeWindow::~BridgeWindow() {
  // No callback of the toolkit reaches this window any more.
  g_signal_handlers_disconnect_by_data(impl_->content, impl_.get());
  g_signal_handlers_disconnect_by_data(impl_->view, impl_.get());
  g_signal_handlers_disconnect_by_data(webkit_web_context_get_default(), impl_.get());
  // The bridge next: it finishes the commands in flight (their hits reach
  // the library); their answers find no page and are dropped.
  impl_->cordova.reset();
  impl_->alive.reset();
  impl_->capacitor.reset();
  if (impl_->window) {
    gtk_widget_destroy(impl_->window);
    g_object_unref(impl_->window);
  }
  g_object_unref(impl_->view);
  if (impl_->content) g_object_unref(impl_->content);
}

void BridgeWindow::makeKeyAndVisible() {
  gtk_widget_show_all(impl_->window);
  gtk_window_present(GTK_WINDOW(impl_->window));
}

void* BridgeWindow::nativeWindow() {
  return impl_->window;
}

}  // namespace platform
