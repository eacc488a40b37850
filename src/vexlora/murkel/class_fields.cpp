// The field table of every class, built by the compiler from the class
// declarations (shared/murkel_classes.h): the fields in declaration order,
// their alphabetical order (the order of the pickled state), the names
// joined for error messages, and the layout checksums: the first seven hex
// digits of the SHA-256, SHA-1 and MD5 digests of the alphabetical names
// joined by blanks. Old pickles may carry any of the three.
#include "murkel/class_fields.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <utility>

#include "murkel/layout_digest.h"

namespace vx::murkel {

namespace {

// Per class, <Class>Declared::fields: its fields in declaration order.
#define VX_DESCRIBE_FIELD(name, kind) FieldDesc{#name, FieldKind::kind, offsetof(Object, name)},
#define VX_DECLARED(Class, ...)                                                                                       \
    struct Class##Declared {                                                                                          \
        using Object = Class##Object;                                                                                 \
        static constexpr std::array<FieldDesc, VX_FIELD_COUNT(Class)> fields{{VX_FIELDS_##Class(VX_DESCRIBE_FIELD)}}; \
    };
VX_MURKEL_CLASSES(VX_DECLARED)
#undef VX_DECLARED
#undef VX_DESCRIBE_FIELD

// What follows from one class's declared fields.
template <class Declared>
struct Derived {
    static constexpr const auto& fields = Declared::fields;
    static constexpr std::size_t kCount = fields.size();
    static_assert(kCount < 256, "state order indices are bytes");

    // Indices into `fields`, alphabetical by name.
    static constexpr std::array<uint8_t, kCount> order = [] {
        std::array<uint8_t, kCount> o{};
        for (std::size_t i = 0; i < kCount; ++i) {
            o[i] = static_cast<uint8_t>(i);
        }
        std::sort(o.begin(), o.end(), [](uint8_t a, uint8_t b) {
            return std::string_view(fields[a].name) < std::string_view(fields[b].name);
        });
        return o;
    }();

    static constexpr std::size_t joined_size(std::size_t separator) {
        std::size_t size = kCount == 0 ? 0 : separator * (kCount - 1);
        for (const FieldDesc& f : fields) {
            size += std::string_view(f.name).size();
        }
        return size;
    }

    // The alphabetical names joined by `separator`, NUL-terminated.
    template <std::size_t kSize>
    static constexpr std::array<char, kSize + 1> join(std::string_view separator) {
        std::array<char, kSize + 1> text{};
        std::size_t at = 0;
        for (std::size_t i = 0; i < kCount; ++i) {
            const std::string_view part = i == 0 ? std::string_view() : separator;
            const std::string_view name(fields[order[i]].name);
            for (char c : part) {
                text[at++] = c;
            }
            for (char c : name) {
                text[at++] = c;
            }
        }
        return text;
    }

    static constexpr auto member_text = join<joined_size(2)>(", ");
    static constexpr auto hashed_text = join<joined_size(1)>(" ");
    static constexpr std::string_view hashed{hashed_text.data(), hashed_text.size() - 1};

    static constexpr ClassFields describe(const char* class_name) {
        return {class_name,
                fields.data(),
                static_cast<Py_ssize_t>(kCount),
                order.data(),
                {digest::prefix28(digest::sha256_first_word(hashed)), digest::prefix28(digest::sha1_first_word(hashed)),
                 digest::prefix28(digest::md5_first_word(hashed))},
                member_text.data()};
    }
};

}  // namespace

constexpr ClassFields kClassFields[kClassCount] = {
#define VX_CLASS_FIELDS(Class, ...) Derived<Class##Declared>::describe(#Class),
    VX_MURKEL_CLASSES(VX_CLASS_FIELDS)
#undef VX_CLASS_FIELDS
};

namespace {

// The stored format. Pickles written by earlier builds carry these checksums,
// and a class whose field names change gets new ones, which those pickles do
// not match: they would no longer load. Changing a class's fields therefore
// means changing its line here on purpose (and the stored pickles the tests
// load, tests/data/pickles). A new class needs no line.
struct Pinned {
    std::string_view class_name;
    long checksums[3];  // SHA-256, SHA-1, MD5 prefixes
};
constexpr Pinned kPinned[] = {
    {"CharInfo", {0xf7ea24c, 0x5afcf8a, 0xadb4e5c}},
    {"MessDetectorPlugin", {0xe3b0c44, 0xda39a3e, 0xd41d8cd}},
    {"TooManySymbolOrPunctuationPlugin", {0x327c53a, 0x1a068f6, 0x65e67bd}},
    {"TooManyAccentuatedPlugin", {0x449210c, 0x1ce7123, 0x08c77a1}},
    {"UnprintablePlugin", {0xd0712a7, 0xcba0289, 0xc8dc087}},
    {"SuspiciousDuplicateAccentPlugin", {0x8e0a0ae, 0x2c209e2, 0xe01428c}},
    {"SuspiciousRange", {0xc3a586a, 0xc3a5e3d, 0x21be36c}},
    {"SuperWeirdWordPlugin", {0x4e9a21b, 0x44df1eb, 0x7528bac}},
    {"CjkUncommonPlugin", {0x7755c74, 0xcb89c6a, 0x34be3ad}},
    {"SuspiciousKatakanaPlugin", {0xe0740f5, 0xea7dd01, 0x5350dcc}},
    {"ArchaicUpperLowerPlugin", {0x8731d9b, 0x2ef271b, 0xf2708e8}},
    {"ArabicIsolatedFormPlugin", {0xe896c1a, 0x6b9dafd, 0x8829393}},
};

// The pinned class still exists and its derived checksums are the pinned ones.
constexpr bool keeps_its_checksums(const Pinned& pin) {
    for (const ClassFields& c : kClassFields) {
        if (std::string_view(c.class_name) == pin.class_name) {
            return std::equal(std::begin(c.checksums), std::end(c.checksums), std::begin(pin.checksums));
        }
    }
    return false;
}

// One check per pinned class, so that a failure names the class's position
// in kPinned (PinCheck<N>).
template <std::size_t I>
struct PinCheck {
    static_assert(keeps_its_checksums(kPinned[I]),
                  "a class's pickled layout changed: old pickles would no longer load (see kPinned)");
    static constexpr bool kHolds = true;
};
template <std::size_t... I>
constexpr bool all_pins_hold(std::index_sequence<I...>) {
    return (PinCheck<I>::kHolds && ...);
}
static_assert(all_pins_hold(std::make_index_sequence<std::size(kPinned)>()));

}  // namespace

}  // namespace vx::murkel
