// Watches a rectangle of an X screen as a person would, for compare_viewers.sh: reads it back about every
// 8 ms and prints a line each time its pixels change, so a script can tell when a page first showed, how
// many distinct frames a held key painted and when the picture settled. Optionally starts a program first
// (its start is the first line), so start-up is timed from the moment the process was made.
// Times are CLOCK_REALTIME milliseconds, the clock `date +%s%3N` reads, so the script's own key presses
// line up with them.
// usage: screen_watch X Y WIDTH HEIGHT SECONDS [program arguments...]
// prints: "start MS PID" (with a program), then "frame MS HASH" per change, then "end MS HASH"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <spawn.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace {

constexpr long pollNanoseconds = 8'000'000;

long long nowMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// FNV-1a over the rectangle's rows: two frames with the same hash are taken to be the same picture.
std::uint64_t hashOf(const XImage* image) {
    std::uint64_t hash = 1469598103934665603ull;
    const int rowBytes = image->width * image->bits_per_pixel / 8;
    for (int y = 0; y < image->height; ++y) {
        const auto* row = reinterpret_cast<const unsigned char*>(image->data) +
                          static_cast<std::ptrdiff_t>(y) * image->bytes_per_line;
        for (int i = 0; i < rowBytes; ++i) {
            hash ^= row[i];
            hash *= 1099511628211ull;
        }
    }
    return hash;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: screen_watch X Y WIDTH HEIGHT SECONDS [program arguments...]\n");
        return 2;
    }
    const int x = std::atoi(argv[1]);
    const int y = std::atoi(argv[2]);
    const auto width = static_cast<unsigned>(std::atoi(argv[3]));
    const auto height = static_cast<unsigned>(std::atoi(argv[4]));
    const double seconds = std::atof(argv[5]);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "screen_watch: no X display\n");
        return 2;
    }
    const Window root = DefaultRootWindow(display);
    // Nothing repaints the bare root: what the last program left there would pass for its successor's frames.
    XSetWindowBackground(display, root, BlackPixel(display, DefaultScreen(display)));
    XClearWindow(display, root);
    XSync(display, False);

    pid_t child = 0;
    if (argc > 6) {
        const long long started = nowMilliseconds();
        if (posix_spawnp(&child, argv[6], nullptr, nullptr, argv + 6, environ) != 0) {
            std::fprintf(stderr, "screen_watch: cannot start %s\n", argv[6]);
            return 2;
        }
        std::printf("start %lld %d\n", started, static_cast<int>(child));
        std::fflush(stdout);
    }
    const long long until = nowMilliseconds() + static_cast<long long>(seconds * 1000);
    std::uint64_t last = 0;
    bool first = true;
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    while (nowMilliseconds() < until) {
        XImage* image = XGetImage(display, root, x, y, width, height, AllPlanes, ZPixmap);
        if (image != nullptr) {
            const std::uint64_t hash = hashOf(image);
            XDestroyImage(image);
            if (first || hash != last)
                std::printf("frame %lld %016llx\n", nowMilliseconds(), static_cast<unsigned long long>(hash));
            first = false;
            last = hash;
        }
        next.tv_nsec += pollNanoseconds;
        if (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    std::printf("end %lld %016llx\n", nowMilliseconds(), static_cast<unsigned long long>(last));
    std::fflush(stdout);
    XCloseDisplay(display);
    return 0;
}
