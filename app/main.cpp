#include "app/parvane_main.h"
#include "platform/rt_services.h"

int main(int argc, char** argv) {
    return RtStartup(argc, argv, ParvaneMain);
}
