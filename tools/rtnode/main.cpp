#include "platform/rt_services.h"
#include "tools/rtnode/rtnode.h"

int main(int argc, char** argv) {
    return RtStartup(argc, argv, RtnodeMain);
}
