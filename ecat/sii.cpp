#include "ecat/sii.h"

#include <algorithm>

#include "ecat/byte_order.h"

namespace parvane::ecat::sii {

std::uint8_t Crc8(std::span<const std::uint8_t> bytes) {
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

std::uint16_t WordAt(std::span<const std::uint8_t> image, std::size_t word) {
    if (word >= image.size() / 2)
        return 0xFFFF;
    return Get16(&image[2 * word]);
}

std::expected<std::vector<CategoryRef>, WalkError> Categories(std::span<const std::uint8_t> image,
                                                              std::size_t maxCategories) {
    // The declared size bounds the walk as much as the image itself does.
    std::size_t words = image.size() / 2;
    const std::uint16_t sizeWord = WordAt(image, kWordSize);
    if (sizeWord != 0xFFFF)
        words = std::min<std::size_t>(words, (static_cast<std::size_t>(sizeWord) + 1) * 1024 / 16);
    std::vector<CategoryRef> found;
    std::size_t at = kWordFirstCategory;
    for (;;) {
        if (at >= words)
            return std::unexpected(WalkError::kPastEnd);
        const std::uint16_t type = WordAt(image, at);
        if (type == static_cast<std::uint16_t>(Category::kEnd))
            return found;
        if (at + 2 > words)
            return std::unexpected(WalkError::kPastEnd);
        const std::size_t length = WordAt(image, at + 1);
        if (length > words - (at + 2))
            return std::unexpected(WalkError::kPastEnd);
        if (found.size() == maxCategories)
            return std::unexpected(WalkError::kTooMany);
        found.push_back({type, at + 2, length});
        at += 2 + length;
    }
}

ImageWriter::ImageWriter() : bytes_(2 * kWordFirstCategory, 0) {
    SetWord(kWordVersion, 1);
}

void ImageWriter::SetWord(std::uint16_t word, std::uint16_t value) {
    if (2u * word + 2 > bytes_.size())
        bytes_.resize(2u * word + 2, 0);
    Put16(&bytes_[2u * word], value);
}

void ImageWriter::SetLong(std::uint16_t word, std::uint32_t value) {
    SetWord(word, static_cast<std::uint16_t>(value));
    SetWord(static_cast<std::uint16_t>(word + 1), static_cast<std::uint16_t>(value >> 16));
}

void ImageWriter::AddCategory(Category type, std::span<const std::uint8_t> data) {
    const std::size_t words = (data.size() + 1) / 2;
    const std::size_t at = bytes_.size();
    bytes_.resize(at + 4 + 2 * words, 0);
    Put16(&bytes_[at], static_cast<std::uint16_t>(type));
    Put16(&bytes_[at + 2], static_cast<std::uint16_t>(words));
    std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

std::vector<std::uint8_t> ImageWriter::Finish() {
    std::vector<std::uint8_t> image = bytes_;
    const std::size_t end = image.size();
    image.resize(end + 2);
    Put16(&image[end], static_cast<std::uint16_t>(Category::kEnd));
    // Round up to whole Kibit (128 bytes); the size word says Kibit minus 1.
    const std::size_t kibit = (image.size() + 127) / 128;
    image.resize(kibit * 128, 0xFF);
    Put16(&image[2 * kWordSize], static_cast<std::uint16_t>(kibit - 1));
    image[2 * kWordChecksum] = Crc8({image.data(), kChecksummedBytes});
    image[2 * kWordChecksum + 1] = 0;
    return image;
}

}  // namespace parvane::ecat::sii
