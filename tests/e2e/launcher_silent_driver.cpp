// Stands in for a driver program that starts but never catalogues itself: it
// joins the node and sleeps (at most two minutes; the test's node kills it).
#include <chrono>
#include <thread>

#include "platform/rt_services.h"

namespace {

int SilentEntry(int, char**) {
    std::this_thread::sleep_for(std::chrono::minutes(2));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return RtStartup(argc, argv, SilentEntry);
}
