// ThreadSanitizer suppressions for these test executables. libzmq and CZMQ are not built with
// ThreadSanitizer: a beacon actor's thread and its owner hand data over through ZeroMQ sockets it
// cannot see, so it reports those hand-overs (CZMQ's interface text, read by the actor while it
// configures, freed later by its owner) as races. Only frames inside those libraries are excused;
// a race between two frames of our own code is still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libczmq.so.4\n"
           "called_from_lib:libzmq.so.5\n"
           "race:libczmq.so.4\n"
           "race:libzmq.so.5\n";
}
