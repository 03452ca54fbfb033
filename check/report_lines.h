// Texts of the console report that more than one step prints, and the
// printing of the master-call error line. Every line starts with "*"; result
// and warning lines of a step carry 9 blanks after it, lines about one slave's
// values 15.
#pragma once

#include <cstdint>

inline constexpr char kBlankReportLine[] = "* \n";

// Printed with the 16-bit status of a master call that failed.
inline constexpr char kMasterCallErrorLine[] =
    "*         ZU API ERROR. An error occurred in the ZU API call, please check the status code "
    "details from the ZU API help. Kestro-ECAT-StatusCode[%04XH]\n";

// Prints kMasterCallErrorLine with status.
void PrintMasterCallError(std::uint16_t status);
