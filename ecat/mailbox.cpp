#include "ecat/mailbox.h"

#include <algorithm>
#include <cstdio>

namespace parvane::ecat {

std::optional<Emergency> Emergency::Decode(std::span<const std::uint8_t> coe) {
    if (coe.size() < kCoeHeaderSize + kEmergencySize ||
        CoeServiceOf(Get16(coe.data())) != static_cast<std::uint8_t>(CoeService::kEmergency))
        return std::nullopt;
    Emergency e;
    e.code = Get16(&coe[2]);
    e.errorRegister = coe[4];
    std::copy_n(&coe[5], e.data.size(), e.data.begin());
    return e;
}

std::optional<SoeHeader> SoeHeader::Decode(std::span<const std::uint8_t> payload) {
    if (payload.size() < kSoeHeaderSize)
        return std::nullopt;
    SoeHeader h;
    h.opCode = payload[0] & 0x07;
    h.incomplete = (payload[0] & 0x08) != 0;
    h.error = (payload[0] & 0x10) != 0;
    h.driveNo = static_cast<std::uint8_t>(payload[0] >> 5);
    h.elements = payload[1];
    h.idn = Get16(&payload[2]);
    return h;
}

bool SoeHeader::Encode(std::span<std::uint8_t> out) const {
    if (out.size() < kSoeHeaderSize)
        return false;
    out[0] = static_cast<std::uint8_t>((opCode & 0x07) | (incomplete ? 0x08 : 0) |
                                       (error ? 0x10 : 0) | ((driveNo & 0x07) << 5));
    out[1] = elements;
    Put16(&out[2], idn);
    return true;
}

std::optional<std::uint16_t> SoeErrorCode(std::span<const std::uint8_t> payload) {
    if (payload.size() < kSoeErrorSize)
        return std::nullopt;
    return Get16(&payload[payload.size() - 2]);
}

const char* SoeErrorText(std::uint16_t code) {
    switch (code) {
        case 0x0000:
            return "no error";
        case 0x1001:
            return "no IDN";
        case 0x1009:
            return "invalid access to element 1";
        case 0x2001:
            return "no name";
        case 0x3004:
            return "attribute cannot be changed (read only)";
        case 0x7002:
            return "operation data transmission too short";
        case 0x7003:
            return "operation data transmission too long";
        case 0x7004:
            return "operation data cannot be changed (read only)";
        case 0x7005:
            return "operation data is write-protected at this time (state)";
        case 0x7006:
            return "operation data is smaller than the minimum input value";
        case 0x7007:
            return "operation data is greater than the maximum input value";
        case 0x7008:
            return "invalid operation data";
        case 0x7009:
            return "operation data write-protected by a password";
        case 0x700A:
            return "operation data is write-protected, it is configured cyclically";
        case 0x700C:
            return "operation data is write-protected due to other settings";
        case 0x7010:
            return "procedure command already active";
        default:
            return "unknown SoE error";
    }
}

const char* IdnText(std::uint16_t idn, std::span<char> out) {
    if (out.empty())
        return "";
    std::snprintf(out.data(), out.size(), "%c-%u-%04u", (idn & 0x8000) != 0 ? 'P' : 'S',
                  static_cast<unsigned>((idn >> 12) & 0x07), static_cast<unsigned>(idn & 0x0FFF));
    return out.data();
}

const char* EoeResultText(std::uint16_t result) {
    switch (result) {
        case eoe_result::kSuccess:
            return "success";
        case eoe_result::kUnspecified:
            return "unspecified error";
        case eoe_result::kUnsupportedType:
            return "unsupported frame type";
        case eoe_result::kNoIp:
            return "no IP support";
        case eoe_result::kNoDhcp:
            return "no DHCP support";
        case eoe_result::kNoFilter:
            return "no filter support";
        default:
            return "unknown EoE result";
    }
}

std::optional<EoeHeader> EoeHeader::Decode(std::span<const std::uint8_t> payload) {
    if (payload.size() < kEoeHeaderSize)
        return std::nullopt;
    const std::uint16_t word = Get16(&payload[0]);
    EoeHeader h;
    h.type = static_cast<std::uint8_t>(word & 0x0F);
    h.port = static_cast<std::uint8_t>((word >> 4) & 0x0F);
    h.lastFragment = (word & 0x0100) != 0;
    h.timeAppended = (word & 0x0200) != 0;
    h.timeRequested = (word & 0x0400) != 0;
    h.info = Get16(&payload[2]);
    return h;
}

bool EoeHeader::Encode(std::span<std::uint8_t> out) const {
    if (out.size() < kEoeHeaderSize)
        return false;
    const auto word = static_cast<std::uint16_t>(
        (type & 0x0F) | ((port & 0x0F) << 4) | (lastFragment ? 0x0100 : 0) |
        (timeAppended ? 0x0200 : 0) | (timeRequested ? 0x0400 : 0));
    Put16(&out[0], word);
    Put16(&out[2], info);
    return true;
}

std::optional<EoeFrameType> EoeResponseTo(std::uint8_t requestType) {
    switch (static_cast<EoeFrameType>(requestType)) {
        case EoeFrameType::kSetIpRequest:
        case EoeFrameType::kSetFilterRequest:
        case EoeFrameType::kGetIpRequest:
        case EoeFrameType::kGetFilterRequest:
            return static_cast<EoeFrameType>(requestType + 1);
        default:
            return std::nullopt;
    }
}

namespace {

// The fields in wire order: the flag that includes each and its size.
struct IpField {
    std::uint32_t flag;
    std::size_t size;
};
constexpr IpField kIpFields[] = {
    {eoe_ip::kMac, 6},     {eoe_ip::kIp, 4},    {eoe_ip::kSubnet, 4},
    {eoe_ip::kGateway, 4}, {eoe_ip::kDnsIp, 4}, {eoe_ip::kDnsName, eoe_ip::kNameSize},
};

// Calls f(field index, offset) for each field present in the layout.
template <typename F>
std::size_t ForEachIpField(std::uint32_t flags, bool fixed, F&& f) {
    std::size_t at = 4;
    for (std::size_t i = 0; i < std::size(kIpFields); ++i) {
        const bool included = (flags & kIpFields[i].flag) != 0;
        if (included)
            f(i, at);
        if (included || fixed)
            at += kIpFields[i].size;
    }
    return at;
}

std::uint32_t* IpValue(EoeIpParameters& p, std::size_t field) {
    switch (field) {
        case 1:
            return &p.ip;
        case 2:
            return &p.subnet;
        case 3:
            return &p.gateway;
        case 4:
            return &p.dnsIp;
        default:
            return nullptr;
    }
}

}  // namespace

std::size_t EoeIpParameters::Size(bool fixed) const {
    return ForEachIpField(flags, fixed, [](std::size_t, std::size_t) {});
}

std::optional<EoeIpParameters> EoeIpParameters::Decode(std::span<const std::uint8_t> body,
                                                       bool fixed) {
    if (body.size() < 4)
        return std::nullopt;
    EoeIpParameters p;
    p.flags = Get32(body.data());
    if (ForEachIpField(p.flags, fixed, [](std::size_t, std::size_t) {}) > body.size())
        return std::nullopt;
    ForEachIpField(p.flags, fixed, [&](std::size_t field, std::size_t at) {
        if (field == 0)
            std::copy_n(&body[at], p.mac.size(), p.mac.begin());
        else if (field == 5)
            std::copy_n(&body[at], p.dnsName.size(), p.dnsName.begin());
        else
            *IpValue(p, field) = Get32(&body[at]);
    });
    return p;
}

std::size_t EoeIpParameters::Encode(std::span<std::uint8_t> body, bool fixed) const {
    const std::size_t size = Size(fixed);
    if (body.size() < size)
        return 0;
    std::fill_n(body.begin(), size, 0);
    Put32(body.data(), flags);
    EoeIpParameters self = *this;
    ForEachIpField(flags, fixed, [&](std::size_t field, std::size_t at) {
        if (field == 0)
            std::copy(mac.begin(), mac.end(), &body[at]);
        else if (field == 5)
            std::copy(dnsName.begin(), dnsName.end(), &body[at]);
        else
            Put32(&body[at], *IpValue(self, field));
    });
    return size;
}

}  // namespace parvane::ecat
