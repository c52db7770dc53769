// What one slot of the conversion does with its pair of descriptors: the one
// place these rules are decided. The per-vertex converters, the range planner
// and the lane kernels all take their decisions from here.
#pragma once

#include <stdint.h>

#include "conversion/attribute_codec.h"
#include "runtime/rounding_mode.h"

namespace meshjobs {

enum class SlotKind : uint8_t { Skip, Position, Normal, Tangent, Color, TexCoord };

inline constexpr int POSITION_SLOT = 0, NORMAL_SLOT = 1, TANGENT_SLOT = 2, COLOR_SLOT = 3;
// Texture coordinates 1 alone go through the record's scale and offset.
inline constexpr int SCALE_OFFSET_SLOT = 5;

struct SlotRule {
    SlotKind kind;  // Skip: the slot neither loads nor stores
    bool load;      // false: a color without a source, opaque white
    bool renormalise;
    bool scaleOffset;
    bool stream1Source, stream1Target;
    uint32_t sourceFormat;
    uint32_t encodeFormat;
    int64_t sourceOffset, targetOffset;
    uint32_t sizeIndex;   // the size-list entry that sizes the store
    uint32_t components;  // how many the store holds
};

inline SlotRule RuleFor(int slot, AttributeDescriptor source, AttributeDescriptor destination) {
    SlotRule rule{};
    const uint32_t sourceDimension = DescriptorDimension(source), destinationDimension = DescriptorDimension(destination);
    const uint32_t rawFormat = DescriptorFormat(destination);
    rule.load = true;
    rule.sourceFormat = DescriptorFormat(source);
    rule.sourceOffset = DescriptorOffset(source);
    rule.stream1Source = DescriptorSelectsStream1(source);
    rule.targetOffset = DescriptorOffset(destination);
    rule.stream1Target = DescriptorSelectsStream1(destination);
    switch (slot) {
        case POSITION_SLOT:
            // Read at the start of source stream 0, written as singles at the
            // start of destination stream 0: only the source format counts.
            rule.kind = SlotKind::Position;
            rule.sourceOffset = rule.targetOffset = 0;
            rule.stream1Source = rule.stream1Target = false;
            rule.encodeFormat = FORMAT_FLOAT32;
            // Later slots index the list by 2 to 4, so entry 4 covers them.
            rule.sizeIndex = FORMAT_FLOAT32;
            rule.components = 3;
            return rule;
        case NORMAL_SLOT:
            if (sourceDimension == 0) return SlotRule{};
            rule.kind = SlotKind::Normal;
            // Codes 0 and 1 also encode as signed bytes but keep their length.
            rule.renormalise = rawFormat == FORMAT_SNORM8;
            rule.encodeFormat = ClampFormat(rawFormat, FORMAT_SNORM8);
            rule.sizeIndex = rule.encodeFormat;
            rule.components = destinationDimension;
            return rule;
        case TANGENT_SLOT:
            // A destination without tangent gets nothing rather than four
            // components over whatever lies at its offset.
            if (sourceDimension == 0 || destinationDimension == 0) return SlotRule{};
            rule.kind = SlotKind::Tangent;
            // Codes 0, 1 and 2 all encode as signed bytes, and all renormalise.
            rule.encodeFormat = ClampFormat(rawFormat, FORMAT_SNORM8);
            rule.renormalise = rule.encodeFormat == FORMAT_SNORM8;
            rule.sizeIndex = rule.encodeFormat;
            rule.components = 4;
            return rule;
        case COLOR_SLOT:
            // Only the low four bits count for presence: 16, 32, ... mean none.
            if ((destinationDimension & 0xFu) == 0) return SlotRule{};
            rule.kind = SlotKind::Color;
            rule.load = sourceDimension != 0;
            rule.encodeFormat = ClampFormat(rawFormat, FORMAT_UNORM8);
            // Sized by the raw byte: a code past the list's end stops the job
            // even though it would encode as Float32.
            rule.sizeIndex = rawFormat;
            rule.components = destinationDimension;
            return rule;
        default:  // texture coordinate sets 0 to 7
            if (sourceDimension == 0 || destinationDimension == 0) return SlotRule{};
            rule.kind = SlotKind::TexCoord;
            rule.scaleOffset = slot == SCALE_OFFSET_SLOT;
            rule.encodeFormat = ClampFormat(rawFormat, FORMAT_UNORM8);
            rule.sizeIndex = rawFormat;
            // Never more components than the destination set holds, so a
            // longer source cannot spill into the next attribute.
            rule.components = sourceDimension < destinationDimension ? sourceDimension : destinationDimension;
            return rule;
    }
}

// What a slot stores once its size entry is known.
struct StoredForm {
    int32_t byteCount;  // 0: nothing
    bool standIn;       // StandInWords instead of the value
};

inline StoredForm StoredFormFor(const SlotRule& rule, int32_t componentSize) {
    const int32_t bytes = ByteCount(rule.components, componentSize);
    switch (rule.kind) {
        case SlotKind::Position:
            // Any size but two or three singles: three integer ones, 12 bytes.
            if (bytes == 12 || bytes == 8) return {bytes, false};
            return {12, true};
        case SlotKind::Normal:
            if (bytes == 4 || bytes == 8 || bytes == 12) return {bytes, false};
            // Smaller sizes (a destination without normal among them) would
            // let the 8-byte stand-in spill into other attributes.
            if (bytes < 8) return {0, false};
            return {8, true};
        case SlotKind::Tangent:
            if (bytes == 4 || bytes == 8 || bytes == 16) return {bytes, false};
            return {0, false};
        case SlotKind::Color:
        case SlotKind::TexCoord:
            if (bytes == 4 || bytes == 8 || bytes == 12 || bytes == 16) return {bytes, false};
            return {0, false};
        case SlotKind::Skip:
            break;
    }
    return {0, false};
}

// Whether a slot's components go from decode to encode with nothing applied
// between: a color, or texture coordinates without the scale. SlotRule and
// SlotPlan both answer.
template <class Slot>
inline bool PassesComponentsThrough(const Slot& slot) {
    return slot.load && (slot.kind == SlotKind::Color || (slot.kind == SlotKind::TexCoord && !slot.scaleOffset));
}

// Whether a slot stores its loaded words unchanged, so that a fast loop may
// copy them: one that passes its components through, whose decode and encode
// undo each other. Singles always do. One word of 8-bit unsigned
// components does in every rounding mode but upward, where a byte times 1/255
// times 255 can round to the byte plus one (the codec tests go through all
// 256 in each mode); `roundsUpward` is asked only for such a word.
template <class RoundsUpwardTest>
inline bool StoresLoadedWords(const SlotRule& rule, int32_t byteCount, RoundsUpwardTest roundsUpward) {
    if (!PassesComponentsThrough(rule)) return false;
    const uint32_t from = ClampFormat(rule.sourceFormat, FORMAT_UNORM8);
    if (from == FORMAT_FLOAT32 && rule.encodeFormat == FORMAT_FLOAT32) return true;
    return from == FORMAT_UNORM8 && rule.encodeFormat == FORMAT_UNORM8 && byteCount == 4 && !roundsUpward();
}

// The words a slot stores in place of a value it has no size for.
inline RawWords StandInWords(SlotKind kind) {
    if (kind == SlotKind::Position) return {{1u, 1u, 1u, 0u}};
    return {{0xFFFFFFFFu, 0xFFFFFFFFu, 0u, 0u}};
}

// Opaque white: the color of a vertex whose source has none.
inline constexpr float NO_COLOR = 1.0f;

}  // namespace meshjobs
