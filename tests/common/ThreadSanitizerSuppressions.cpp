// ZeroMQ and CZMQ are not built with ThreadSanitizer: their threads hand messages over through
// lock-free queues it cannot see, so every beacon exchange looks like a race to it. Reports with
// a frame inside those two libraries are left out; the rest of this binary stays checked. The
// hook is read only by a ThreadSanitizer build.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libzmq.so\n"
           "race:libczmq.so\n";
}
