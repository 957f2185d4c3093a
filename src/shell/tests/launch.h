#pragma once
// Starting the `veltrum` program and waiting for its window to be mapped on
// the X display, for the launch tests and the start-up benchmark. Process
// start → X map event is measured from just before the process is spawned.
// Also the few things every test that drives the started program needs:
// polling with a limit, a command's output, a screenshot of the X screen.
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <spawn.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gdk/gdk.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace launch {

struct Launched {
    pid_t pid = -1;
    std::chrono::nanoseconds to_map{0};
    unsigned long window = 0;  // X window id
};

// The process id a window gives in its _NET_WM_PID property; 0 when it gives
// none or the window is gone.
inline long window_pid(Display* dpy, Window w) {
    const Atom pid_atom = XInternAtom(dpy, "_NET_WM_PID", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    long pid = 0;
    if (XGetWindowProperty(dpy, w, pid_atom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
            Success &&
        data) {
        if (type == XA_CARDINAL && format == 32 && count == 1) pid = *reinterpret_cast<long*>(data);
        XFree(data);
    }
    return pid;
}

// Spawns `exe` with the environment changed by `env` (an empty value
// removes the variable) and the arguments `args`, and waits at most `limit`
// for a top-level window of that process (its _NET_WM_PID) whose title starts
// with "Veltrum" to be mapped; windows of other programs on the same display, even of other
// copies of this one, are passed over. Nothing when the display cannot be
// opened, the program cannot be started or no window came; the process is
// stopped then.
inline std::optional<Launched> start_and_wait_mapped(const std::string& exe, const std::map<std::string, std::string>& env,
                                                     std::chrono::milliseconds limit,
                                                     std::vector<std::string> args = {}) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return std::nullopt;
    // A window of another program may be gone by the time it is looked at:
    // that error is no failure here (the default handler would end the test).
    auto* old_handler = XSetErrorHandler(+[](Display*, XErrorEvent*) { return 0; });
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
    XSync(dpy, False);

    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        auto eq = kv.find('=');
        if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (auto& [k, v] : env) {
        if (v.empty()) vars.erase(k);
        else vars[k] = v;
    }
    std::vector<std::string> strings;
    for (auto& [k, v] : vars) strings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    args.insert(args.begin(), exe);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    Launched out;
    const auto t0 = std::chrono::steady_clock::now();
    if (posix_spawn(&out.pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
        XCloseDisplay(dpy);
        XSetErrorHandler(old_handler);
        return std::nullopt;
    }
    const auto end = t0 + limit;
    bool found = false;
    while (!found && std::chrono::steady_clock::now() < end) {
        while (!found && XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type != MapNotify || ev.xmap.override_redirect) continue;
            if (window_pid(dpy, ev.xmap.window) != out.pid) continue;
            char* name = nullptr;
            if (XFetchName(dpy, ev.xmap.window, &name) && name) {
                if (std::strncmp(name, "Veltrum", 7) == 0) {
                    out.to_map = std::chrono::steady_clock::now() - t0;
                    out.window = ev.xmap.window;
                    found = true;
                }
                XFree(name);
            }
        }
        if (found) break;
        int status = 0;
        if (waitpid(out.pid, &status, WNOHANG) == out.pid) {
            out.pid = -1;
            break;  // ended before showing a window
        }
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(ConnectionNumber(dpy), &fds);
        timeval tv{0, 20000};
        select(ConnectionNumber(dpy) + 1, &fds, nullptr, nullptr, &tv);
    }
    XCloseDisplay(dpy);
    XSetErrorHandler(old_handler);
    if (!found) {
        if (out.pid > 0) {
            kill(out.pid, SIGKILL);
            waitpid(out.pid, nullptr, 0);
        }
        return std::nullopt;
    }
    return out;
}

// True while the process runs; otherwise its exit status is kept.
inline bool running(pid_t pid, int* status_out = nullptr) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid && status_out) *status_out = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r == 0;
}

// The exit status once the process ended by itself within `limit`.
inline std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(10000);
    }
    return std::nullopt;
}

// Ends the process (SIGTERM, then SIGKILL after a second) and reaps it.
inline void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Polls `done` every `every` until it holds or `limit` has passed.
inline bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit,
                     std::chrono::milliseconds every = std::chrono::milliseconds(50)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(every);
    }
    return done();
}

// What a shell command printed, without the final line ends.
inline std::string output_of(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// A PNG of the whole X screen (GTK initialised).
inline bool screenshot(const std::filesystem::path& file) {
    GdkWindow* root = gdk_get_default_root_window();
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root));
    if (!shot) return false;
    const bool ok = gdk_pixbuf_save(shot, file.c_str(), "png", nullptr, nullptr);
    g_object_unref(shot);
    return ok;
}

}  // namespace launch
