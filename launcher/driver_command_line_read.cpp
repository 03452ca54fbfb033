// Reads the command line that a running driver was started with out of the
// "R?H$C$NAME" record in the driver's own directory.
//
// Record layout: byte 0 holds L (0 to 127), L bytes of a leading field and
// one more byte follow, and the NUL-ended command line starts at 2 + L. A
// record that breaks this layout (L of 0x80 or more, no NUL before the end of
// the memory object) or whose text does not fit the buffer is refused rather
// than read past its end or cut.
#include "launcher/driver_command_line_read.h"

#include <cstring>

#include "launcher/launch_report.h"
#include "platform/rt_errors.h"

namespace {

constexpr const char kRecordName[] = "R?H$C$NAME";
constexpr unsigned kMaxLeadingField = 127;

std::int32_t CopyRecordText(const unsigned char* record, std::uint32_t recordSize, char* buffer,
                            std::uint32_t bufferSize) {
    if (recordSize == 0 || record[0] > kMaxLeadingField) {
        return -2;
    }
    std::uint32_t start = 2u + record[0];
    if (start >= recordSize) {
        return -2;
    }
    const void* end = std::memchr(record + start, '\0', recordSize - start);
    if (end == nullptr) {
        return -2;
    }
    std::size_t withNul = static_cast<const unsigned char*>(end) - (record + start) + 1;
    if (withNul > bufferSize) {
        return -2;
    }
    std::memcpy(buffer, record + start, withNul);
    return 0;
}

}  // namespace

std::int32_t ReadDriverCommandLineWithStatus(RTHANDLE driverProcess, char* buffer,
                                             std::uint32_t bufferSize,
                                             std::uint32_t* failureStatus) {
    RTHANDLE recordHandle = LookupRtHandle(driverProcess, kRecordName, 0);
    if (recordHandle == BAD_RTHANDLE) {
        *failureStatus = PlatformFailureStatus(kRtErrNotFound);
        return -2;
    }
    if (GetRtHandleType(recordHandle) == kRtTypeNone) {
        *failureStatus = kRtErrBadHandle;
        return -1;
    }
    void* record = MapRtSharedMemory(recordHandle);
    if (record == nullptr) {
        *failureStatus = PlatformFailureStatus(kRtErrNoMemory);
        return -2;
    }
    std::int32_t result = CopyRecordText(static_cast<const unsigned char*>(record),
                                         GetRtSharedMemorySize(recordHandle), buffer, bufferSize);
    FreeRtMemory(record);
    if (result != 0) {
        *failureStatus = kRtErrParam;
    }
    return result;
}

std::int32_t ReadDriverCommandLine(RTHANDLE driverProcess, char* buffer, std::uint32_t bufferSize) {
    std::uint32_t failureStatus = 0;
    return ReadDriverCommandLineWithStatus(driverProcess, buffer, bufferSize, &failureStatus);
}
