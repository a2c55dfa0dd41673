#include "voip/media/h264sps.h"

#include <vector>

namespace voip::h264 {

namespace {

constexpr uint8_t SpsType = 7;

/// Reads the RBSP of a NAL unit bit by bit; a read past the end sets `failed` and gives 0.
class BitReader
{
public:
    explicit BitReader(std::span<const uint8_t> payload)
    {
        // Drop the emulation prevention octet of every 00 00 03 (H.264 7.4.1).
        rbsp_.reserve(payload.size());
        unsigned zeros = 0;
        for (const uint8_t byte : payload) {
            if (zeros >= 2 && byte == 0x03) {
                zeros = 0;
                continue;
            }
            zeros = byte == 0 ? zeros + 1 : 0;
            rbsp_.push_back(byte);
        }
    }

    bool failed() const { return failed_; }

    unsigned bit()
    {
        if (position_ >= rbsp_.size() * 8) {
            failed_ = true;
            return 0;
        }
        const unsigned value = (rbsp_[position_ / 8] >> (7 - position_ % 8)) & 1;
        ++position_;
        return value;
    }

    unsigned bits(unsigned count)
    {
        unsigned value = 0;
        for (unsigned i = 0; i < count; ++i)
            value = (value << 1) | bit();
        return value;
    }

    /// ue(v), for values up to 2^31 - 2; a longer prefix fails.
    unsigned ue()
    {
        unsigned zeros = 0;
        while (bit() == 0) {
            if (failed_ || ++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        return ((1u << zeros) - 1) + bits(zeros);
    }

    int se()
    {
        const unsigned value = ue();
        return (value & 1) ? int((value + 1) / 2) : -int(value / 2);
    }

private:
    std::vector<uint8_t> rbsp_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

std::nullopt_t refuse(std::string* error, const char* reason)
{
    if (error)
        *error = reason;
    return std::nullopt;
}

bool hasChromaFields(unsigned profile)
{
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44:
    case 83: case 86: case 118: case 128: case 138: case 139: case 134: case 135:
        return true;
    default:
        return false;
    }
}

/// H.264 7.3.2.1.1.1: skips one scaling list; false when a delta is out of range.
bool skipScalingList(BitReader& reader, unsigned size)
{
    int last = 8;
    int next = 8;
    for (unsigned j = 0; j < size; ++j) {
        if (next != 0) {
            const int delta = reader.se();
            if (delta < -128 || delta > 127)
                return false;
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
    return !reader.failed();
}

} // namespace

std::optional<SequenceParameters> parseSequenceParameterSet(std::span<const uint8_t> nal,
                                                            std::string* error)
{
    if (nal.empty() || (nal[0] & 0x1F) != SpsType)
        return refuse(error, "not a sequence parameter set");
    if (nal[0] & 0x80)
        return refuse(error, "forbidden bit set");
    BitReader reader(nal.subspan(1));
    SequenceParameters sps;
    sps.profileIdc = uint8_t(reader.bits(8));
    sps.constraintFlags = uint8_t(reader.bits(8));
    sps.levelIdc = uint8_t(reader.bits(8));
    sps.id = reader.ue();
    if (sps.id > 31)
        return refuse(error, "seq_parameter_set_id above 31");
    if (hasChromaFields(sps.profileIdc)) {
        sps.chromaFormat = reader.ue();
        if (sps.chromaFormat > 3)
            return refuse(error, "chroma_format_idc above 3");
        if (sps.chromaFormat == 3)
            reader.bit(); // separate_colour_plane_flag
        sps.bitDepthLuma = reader.ue() + 8;
        const unsigned bitDepthChroma = reader.ue() + 8;
        if (sps.bitDepthLuma > 14 || bitDepthChroma > 14)
            return refuse(error, "bit depth above 14");
        reader.bit(); // qpprime_y_zero_transform_bypass_flag
        if (reader.bit()) { // seq_scaling_matrix_present_flag
            const unsigned lists = sps.chromaFormat != 3 ? 8 : 12;
            for (unsigned i = 0; i < lists; ++i) {
                if (reader.bit() && !skipScalingList(reader, i < 6 ? 16 : 64))
                    return refuse(error, "scaling list out of range");
            }
        }
    }
    if (reader.ue() > 12)
        return refuse(error, "log2_max_frame_num_minus4 above 12");
    const unsigned pocType = reader.ue();
    if (pocType > 2)
        return refuse(error, "pic_order_cnt_type above 2");
    if (pocType == 0) {
        if (reader.ue() > 12)
            return refuse(error, "log2_max_pic_order_cnt_lsb_minus4 above 12");
    } else if (pocType == 1) {
        reader.bit(); // delta_pic_order_always_zero_flag
        reader.se();  // offset_for_non_ref_pic
        reader.se();  // offset_for_top_to_bottom_field
        const unsigned cycle = reader.ue();
        if (cycle > 255)
            return refuse(error, "num_ref_frames_in_pic_order_cnt_cycle above 255");
        for (unsigned i = 0; i < cycle && !reader.failed(); ++i)
            reader.se();
    }
    if (reader.ue() > 16)
        return refuse(error, "max_num_ref_frames above 16");
    reader.bit(); // gaps_in_frame_num_value_allowed_flag
    const unsigned widthMbs = reader.ue() + 1;
    const unsigned heightMapUnits = reader.ue() + 1;
    const bool frameMbsOnly = reader.bit();
    if (reader.failed())
        return refuse(error, "sequence parameter set cut off");
    if (widthMbs > MaxFrameMacroblocks || heightMapUnits > MaxFrameMacroblocks)
        return refuse(error, "picture larger than this engine decodes");
    sps.widthInMacroblocks = widthMbs;
    sps.heightInMacroblocks = heightMapUnits * (frameMbsOnly ? 1 : 2);
    if (uint64_t(sps.widthInMacroblocks) * sps.heightInMacroblocks > MaxFrameMacroblocks)
        return refuse(error, "picture larger than this engine decodes");
    if (!frameMbsOnly)
        reader.bit(); // mb_adaptive_frame_field_flag
    reader.bit();     // direct_8x8_inference_flag
    unsigned cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (reader.bit()) { // frame_cropping_flag
        cropLeft = reader.ue();
        cropRight = reader.ue();
        cropTop = reader.ue();
        cropBottom = reader.ue();
    }
    if (reader.failed())
        return refuse(error, "sequence parameter set cut off");
    // Crop units (H.264 7.4.2.1.1): chroma samples for 4:2:0 and 4:2:2, with frame
    // pictures counted in field pairs.
    const unsigned cropX = (sps.chromaFormat == 1 || sps.chromaFormat == 2) ? 2 : 1;
    const unsigned cropY = (sps.chromaFormat == 1 ? 2 : 1) * (frameMbsOnly ? 1 : 2);
    const uint64_t width = uint64_t(sps.widthInMacroblocks) * 16;
    const uint64_t height = uint64_t(sps.heightInMacroblocks) * 16;
    const uint64_t cropWidth = (uint64_t(cropLeft) + cropRight) * cropX;
    const uint64_t cropHeight = (uint64_t(cropTop) + cropBottom) * cropY;
    if (cropWidth >= width || cropHeight >= height)
        return refuse(error, "cropping leaves no picture");
    sps.width = unsigned(width - cropWidth);
    sps.height = unsigned(height - cropHeight);
    return sps;
}

} // namespace voip::h264
