#include "BusSingleInstance.h"

#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

namespace {

// com.vexmoor.3DViewer as a bus name, whose elements may not begin with a digit: the
// underscore is the usual escape.
constexpr const char* busName = "com.vexmoor._3DViewer";

// Without an address and without the bus socket of the runtime folder, GIO would try to
// start a bus of its own through X11: that is no session to join, and slow.
bool sessionBusReachable() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code error;
  return runtime && *runtime && fs::is_socket(fs::path(runtime) / "bus", error);
}

// A request runs once its D-Bus call is answered: an alert or the window it shows runs a
// loop of its own, and the launch that asked must not wait for the user.
void later(std::function<void()> request) {
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(request)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void onOpen(GApplication*, GFile** files, gint count, const gchar*, gpointer self) {
  std::vector<std::string> paths;
  for (gint at = 0; at < count; ++at) {
    if (gchar* path = g_file_get_path(files[at])) {
      paths.emplace_back(path);
      g_free(path);
    }
  }
  auto& requests = *static_cast<SingleInstance::Requests*>(self);
  if (requests.open && !paths.empty()) later([&requests, paths] { requests.open(paths); });
}

void onShowWindow(GSimpleAction*, GVariant* parameter, gpointer self) {
  auto& requests = *static_cast<SingleInstance::Requests*>(self);
  std::string windowMode = g_variant_get_string(parameter, nullptr);
  if (requests.showWindow) later([&requests, windowMode] { requests.showWindow(windowMode); });
}

constexpr const char* objectPath = "/com/vexmoor/_3DViewer";

enum class Answer { handedOver, noInstance, notAnswered };

bool nameHasOwner(GDBusConnection* connection) {
  GVariant* reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", busName),
                                                G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

// Straight to the running instance, as GApplication's own interfaces take it: one call,
// without first trying for the name and asking for the instance's list of actions.
// noInstance when none runs, or it is ending. A call that timed out stays queued with the
// instance, which acts on it once it runs again: notAnswered.
Answer callRunningInstance(GDBusConnection* connection, const std::vector<std::string>& paths,
                           const std::string& windowMode) {
  GVariant* parameters = nullptr;
  const char* interface = "org.gtk.Application";
  const char* method = "Open";
  if (paths.empty()) {
    GVariantBuilder arguments;
    g_variant_builder_init(&arguments, G_VARIANT_TYPE("av"));
    g_variant_builder_add(&arguments, "v", g_variant_new_string(windowMode.c_str()));
    parameters = g_variant_new("(sava{sv})", "show-window", &arguments, nullptr);
    interface = "org.gtk.Actions";
    method = "Activate";
  } else {
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    for (const auto& path : paths) {
      gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
      if (uri) g_variant_builder_add(&uris, "s", uri);
      g_free(uri);
    }
    parameters = g_variant_new("(assa{sv})", &uris, "", nullptr);
  }
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(connection, busName, objectPath, interface, method, parameters, nullptr,
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &error);
  bool timedOut = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
  if (error) g_error_free(error);
  if (reply) {
    g_variant_unref(reply);
    return Answer::handedOver;
  }
  return timedOut && nameHasOwner(connection) ? Answer::notAnswered : Answer::noInstance;
}

// A D-Bus call is only queued; the process must not end before it left.
void handOver(GApplication* application, const std::vector<std::string>& paths, const std::string& windowMode) {
  if (paths.empty()) {
    g_action_group_activate_action(G_ACTION_GROUP(application), "show-window",
                                   g_variant_new_string(windowMode.c_str()));
  } else {
    std::vector<GFile*> files;
    for (const auto& path : paths) files.push_back(g_file_new_for_path(path.c_str()));
    g_application_open(application, files.data(), static_cast<gint>(files.size()), "");
    for (auto* file : files) g_object_unref(file);
  }
  if (auto* connection = g_application_get_dbus_connection(application)) {
    g_dbus_connection_flush_sync(connection, nullptr, nullptr);
  }
}

}  // namespace

BusSingleInstance::~BusSingleInstance() {
  if (application_) g_object_unref(application_);
  g_clear_object(&connection_);
}

bool BusSingleInstance::becomeRunningInstance(const std::vector<std::string>& givenPaths, const std::string& windowMode,
                                              Requests requests, bool registerLater) {
  // A path that cannot be made absolute (empty, or relative to a folder since removed)
  // names nothing the running instance could find: this process reports it, as on its own.
  std::vector<std::string> paths;
  for (const auto& path : givenPaths) {
    std::error_code error;
    paths.push_back(fs::absolute(path, error));
    if (error) return true;
  }
  if (!sessionBusReachable()) return true;
  GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!connection) return true;
  Answer answer = callRunningInstance(connection, paths, windowMode);
  if (answer != Answer::noInstance) {
    if (answer == Answer::notAnswered) {
      std::fprintf(stderr,
                   "vexmoor-3dviewer: the running instance did not answer in time; it was handed the request and "
                   "will carry it out once it responds\n");
    }
    g_object_unref(connection);
    return false;
  }
  requests_ = std::move(requests);
  connection_ = connection;
  return registerLater || registerName(paths, windowMode);
}

void BusSingleInstance::registerNow() {
  if (!connection_) return;
  registerName({}, "");
  // Another process took the name meanwhile: what this one serves stays its own.
  if (application_ && g_application_get_is_remote(application_)) {
    g_object_unref(application_);
    application_ = nullptr;
  }
}

bool BusSingleInstance::registerName(const std::vector<std::string>& paths, const std::string& windowMode) {
  application_ = g_application_new(busName, G_APPLICATION_HANDLES_OPEN);
  if (!application_) {
    g_clear_object(&connection_);
    return true;
  }
  g_signal_connect(application_, "open", G_CALLBACK(onOpen), &requests_);
  GSimpleAction* showWindow = g_simple_action_new("show-window", G_VARIANT_TYPE_STRING);
  g_signal_connect(showWindow, "activate", G_CALLBACK(onShowWindow), &requests_);
  g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(showWindow));
  g_object_unref(showWindow);
  GError* error = nullptr;
  bool registered = g_application_register(application_, nullptr, &error);
  if (error) g_error_free(error);
  g_clear_object(&connection_);
  if (!registered || !g_application_get_is_remote(application_)) return true;
  handOver(application_, paths, windowMode);
  return false;
}
