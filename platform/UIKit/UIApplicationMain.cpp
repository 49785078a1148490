#include "platform/UIKit/UIApplicationMain.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Foundation/Bundle.h"
#include "platform/Foundation/Class.h"
#include "platform/Foundation/ClassRegistry.h"
#include "platform/Foundation/Log.h"
#include "platform/UIKit/MainLoopSource.h"
#include "platform/UIKit/UIApplication.h"
#include "platform/UIKit/UIWindow.h"

namespace {

// Everything the GTK callbacks share; lives on main()'s stack.
struct Shell {
  GtkApplication* gtk = nullptr;
  std::shared_ptr<UIApplication> application;
  std::shared_ptr<UIWindow> window;
  bool launched = false;
  bool quitting = false;
};

template <class T>
std::shared_ptr<T> make(const char* className) {
  if (!className) return nullptr;
  auto cls = platform::ClassRegistry::lookupAs<platform::Class>(className);
  return cls ? std::dynamic_pointer_cast<T>(cls->make()) : nullptr;
}

// Ends the main loop; "will terminate" comes once the window has gone (see
// UIApplicationMain), so that commands its page left running are first
// handed to the library and then saved with the rest.
void terminate(Shell& shell) {
  if (shell.quitting) return;
  shell.quitting = true;
  g_application_quit(G_APPLICATION(shell.gtk));
}

gboolean onSignal(gpointer data) {
  terminate(*static_cast<Shell*>(data));
  return G_SOURCE_CONTINUE;
}

void onActiveChanged(GObject* window, GParamSpec*, gpointer data) {
  auto& shell = *static_cast<Shell*>(data);
  if (gtk_window_is_active(GTK_WINDOW(window))) {
    shell.application->didBecomeActive();
  } else {
    shell.application->willResignActive();
  }
}

gboolean onWindowState(GtkWidget*, GdkEventWindowState* event, gpointer data) {
  auto& shell = *static_cast<Shell*>(data);
  if (event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) {
    if (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) {
      shell.application->didEnterBackground();
    } else {
      shell.application->willEnterForeground();
    }
  }
  return FALSE;
}

gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
  terminate(*static_cast<Shell*>(data));
  return FALSE;
}

// Launches once: the delegate hears of it (with the URL of a cold start in
// the options), then the main window is made and shown.
void launch(Shell& shell, const std::vector<std::string>& urls) {
  if (shell.launched) {
    if (shell.window) shell.window->makeKeyAndVisible();
    return;
  }
  shell.launched = true;
  platform::Dictionary options;
  if (!urls.empty()) options["UIApplicationLaunchOptionsURLKey"] = urls.front();
  shell.application->didFinishLaunching(options);
  shell.window = make<UIWindow>("UIMainWindow");
  if (!shell.window) {
    platform::NSLog("UIApplicationMain: no main window class \"UIMainWindow\" is registered");
    return;
  }
  auto* gtkWindow = static_cast<GtkWindow*>(shell.window->nativeWindow());
  gtk_application_add_window(shell.gtk, gtkWindow);
  g_signal_connect(gtkWindow, "notify::is-active", G_CALLBACK(onActiveChanged), &shell);
  g_signal_connect(gtkWindow, "window-state-event", G_CALLBACK(onWindowState), &shell);
  g_signal_connect(gtkWindow, "delete-event", G_CALLBACK(onDelete), &shell);
  shell.window->makeKeyAndVisible();
}

void onActivate(GApplication*, gpointer data) {
  launch(*static_cast<Shell*>(data), {});
}

void onOpen(GApplication*, GFile** files, gint count, const gchar*, gpointer data) {
  auto& shell = *static_cast<Shell*>(data);
  std::vector<std::string> urls;
  for (gint i = 0; i < count; ++i) {
    gchar* uri = g_file_get_uri(files[i]);
    urls.emplace_back(uri);
    g_free(uri);
  }
  launch(shell, urls);
  for (const std::string& url : urls)
    shell.application->openURL(url, {});
}

}  // namespace

int UIApplicationMain(int argc, char** argv, const char* principalClassName,
                      const char* delegateClassName) {
  Shell shell;
  shell.application = make<UIApplication>(principalClassName);
  if (!shell.application) shell.application = std::make_shared<UIApplication>();
  shell.application->setDelegate(make<UIApplicationDelegate>(delegateClassName));
  if (!shell.application->delegate() && delegateClassName) {
    platform::NSLog(std::string("UIApplicationMain: no delegate class \"") + delegateClassName +
                    "\" is registered");
  }
  UIApplication::setSharedApplication(shell.application.get());

  // A running instance takes the URLs of a second start, where a session
  // bus lets the two find each other.
  std::string id = platform::Bundle::main().identifier;
  if (!g_application_id_is_valid(id.c_str())) id = "local.halden.app";
  // The program's name is the application's: the web view keeps its storage
  // under it (one application's pages never see another's), and the desktop
  // matches its windows to the application's entry by it.
  g_set_prgname(id.c_str());
  const auto flags = G_APPLICATION_HANDLES_OPEN;
  shell.gtk = gtk_application_new(id.c_str(), flags);
  g_signal_connect(shell.gtk, "activate", G_CALLBACK(onActivate), &shell);
  g_signal_connect(shell.gtk, "open", G_CALLBACK(onOpen), &shell);
  const guint onTerm = g_unix_signal_add(SIGTERM, onSignal, &shell);
  const guint onInt = g_unix_signal_add(SIGINT, onSignal, &shell);
  platform::MainLoopSource::attach();

  // GApplication reads only the URLs: the application's own options stay
  // with the application.
  std::vector<char*> args = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]).rfind("--", 0) != 0) args.push_back(argv[i]);
  }
  args.push_back(nullptr);
  const int status =
      g_application_run(G_APPLICATION(shell.gtk), static_cast<int>(args.size() - 1), args.data());
  g_source_remove(onTerm);
  g_source_remove(onInt);
  // The window goes first: its bridge finishes the commands in flight, whose
  // hits then reach the hit store before it saves on "will terminate".
  shell.window.reset();
  shell.application->willTerminate();
  g_object_unref(shell.gtk);
  UIApplication::setSharedApplication(nullptr);
  return status;
}
