#include "emulator/eoe_server.h"

namespace parvane::emulator {
namespace {

using ecat::EoeFrameType;

std::vector<std::uint8_t> Response(const ecat::EoeHeader& request, EoeFrameType type,
                                   std::uint16_t result, std::size_t bodySize = 0) {
    ecat::EoeHeader h;
    h.type = static_cast<std::uint8_t>(type);
    h.port = request.port;
    h.lastFragment = true;
    h.info = result;
    std::vector<std::uint8_t> m(ecat::kEoeHeaderSize + bodySize, 0);
    h.Encode(m);
    return m;
}

// The fields a set-IP request includes replace the held ones.
void Merge(ecat::EoeIpParameters& held, const ecat::EoeIpParameters& given) {
    const std::uint32_t f = given.flags;
    if ((f & ecat::eoe_ip::kMac) != 0)
        held.mac = given.mac;
    if ((f & ecat::eoe_ip::kIp) != 0)
        held.ip = given.ip;
    if ((f & ecat::eoe_ip::kSubnet) != 0)
        held.subnet = given.subnet;
    if ((f & ecat::eoe_ip::kGateway) != 0)
        held.gateway = given.gateway;
    if ((f & ecat::eoe_ip::kDnsIp) != 0)
        held.dnsIp = given.dnsIp;
    if ((f & ecat::eoe_ip::kDnsName) != 0)
        held.dnsName = given.dnsName;
    held.flags |= f & 0x3F;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> EoeServer::Handle(std::span<const std::uint8_t> request,
                                                           bool& malformed) {
    malformed = false;
    const auto header = ecat::EoeHeader::Decode(request);
    if (!header) {
        malformed = true;
        return std::nullopt;
    }
    const auto body = request.subspan(ecat::kEoeHeaderSize);
    switch (static_cast<EoeFrameType>(header->type)) {
        case EoeFrameType::kFragment:
            return std::nullopt;  // no Ethernet behind an emulated slave
        case EoeFrameType::kSetIpRequest: {
            const bool fixed = request.size() >= ecat::eoe_ip::kFixedFrameSize;
            const auto given = ecat::EoeIpParameters::Decode(body, fixed);
            if (!given)
                return Response(*header, EoeFrameType::kSetIpResponse,
                                ecat::eoe_result::kUnspecified);
            Merge(parameters_, *given);
            fixed_ = fixed;
            return Response(*header, EoeFrameType::kSetIpResponse, ecat::eoe_result::kSuccess);
        }
        case EoeFrameType::kGetIpRequest: {
            auto m = Response(*header, EoeFrameType::kGetIpResponse, ecat::eoe_result::kSuccess,
                              parameters_.Size(fixed_));
            parameters_.Encode(std::span(m).subspan(ecat::kEoeHeaderSize), fixed_);
            return m;
        }
        case EoeFrameType::kSetFilterRequest:
        case EoeFrameType::kGetFilterRequest:
            return Response(*header, static_cast<EoeFrameType>(header->type + 1),
                            ecat::eoe_result::kNoFilter);
        default:
            return Response(*header, EoeFrameType::kSetIpResponse,
                            ecat::eoe_result::kUnsupportedType);
    }
}

}  // namespace parvane::emulator
