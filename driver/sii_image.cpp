#include "driver/sii_image.h"

namespace parvane::driver {
namespace {

void Put32(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::uint8_t SiiChecksum(std::span<const std::uint8_t> bytes) {
    std::uint8_t crc = 0xFF;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80) ? static_cast<std::uint8_t>((crc << 1) ^ 0x07)
                               : static_cast<std::uint8_t>(crc << 1);
        }
    }
    return crc;
}

std::vector<std::uint8_t> MakeSiiImage(const SlaveIdentity& identity, std::uint32_t serialNo) {
    std::vector<std::uint8_t> image(kSiiImageSize, 0);
    // Configuration area: PDI control (word 0) and configuration (word 1) of
    // a plain slave, station alias 0 (word 4).
    image[0] = 0x05;
    image[1] = 0x06;
    image[2] = 0x44;
    image[3] = 0x00;
    image[14] = SiiChecksum({image.data(), 14});
    Put32(image, 16, identity.vendorId);
    Put32(image, 20, identity.productCode);
    Put32(image, 24, identity.revisionNo);
    Put32(image, 28, serialNo);
    // Bootstrap and standard mailbox areas (words 0x14..0x1B) and the EEPROM
    // size word (0x3E: size in KiBit minus 1) and version (0x3F).
    Put32(image, 0x28, 0x00801000);
    Put32(image, 0x2C, 0x00801080);
    Put32(image, 0x30, 0x00801000);
    Put32(image, 0x34, 0x00801080);
    image[0x38] = 0x04;  // supported mailbox protocols: CoE
    image[0x7C] = 0x00;  // 1 KiBit
    image[0x7E] = 0x01;  // version 1
    return image;
}

}  // namespace parvane::driver
