// Everything the mess-ratio driver asks of one character, packed into one
// word: the record's flags as the plugins test them, already combined where
// a plugin only ever tests a combination, plus the few tests on the code
// point itself. The driver computes the word once per record and then feeds
// the plugins from it without touching the record again.
//
// The word depends on the code point and on the record's fields; records are
// not modified after construction except through CharInfo.__init__ or
// __setstate__, which bump g.record_writes so that cached words can be
// dropped.
#pragma once

#include <cstdint>

#include "murkel/state.h"

namespace vx::murkel::bits {

enum : uint32_t {
    // The case and the letter kinds a span sums come first, side by side,
    // so that the span finds them with few shifts and masks.
    kLower = 1u << 0,
    kUpper = 1u << 1,
    kAccentuated = 1u << 2,
    kGlyph = 1u << 3,
    kCountedPunct = 1u << 4,   // punct and not safe
    kCountedSymbol = 1u << 5,  // sym, not safe, punct, digit nor emoticon
    kAlpha = 1u << 6,
    kLigature = 1u << 7,
    kKnown = 1u << 8,  // the word has been computed
    kPrintable = 1u << 9,
    kUnprintable = 1u << 10,    // neither printable nor space, and not SUB or BOM (harmless
                                //   leftovers of conversions, never noise)
    kEscape = 1u << 11,         // the code point is ESC
    kNonAscii = 1u << 12,       // is_ascii false
    kForeignLetter = 1u << 13,  // not a glyph letter, and not latin or accentuated
    kOpensSentence = 1u << 14,
    kSuperscript = 1u << 15,
    kEndsWord = 1u << 16,       // space, punct or sep
    kSymbolInWord = 1u << 17,   // sym, not digit, and not one of the word joiners
    kCaseSeparator = 1u << 18,  // not alpha or not case variable
    kDigit = 1u << 19,
    kChainBreak = 1u << 20,  // space, punct or safe
    kLatin = 1u << 21,
    kCjk = 1u << 22,
    kKatakana = 1u << 23,
    kHalfwidthKatakana = 1u << 24,
    kArabic = 1u << 25,
    kCommonCjk = 1u << 26,
    kIsolatedForm = 1u << 27,
    // A cased letter that only adds to counters and moves the word and case
    // runs on: printable, no ligature, no glyph, not CJK, Katakana or Arabic,
    // not counted as punctuation or symbol, and not breaking the block chain.
    // The walk handles runs of these in bulk.
    kRunLetter = 1u << 28,
    // The same for a letter without case (CJK, Kana, Thai, Arabic...): it
    // closes or opens the case run, and may be a glyph or of another script;
    // or for a mark that stands inside a word without counting as a letter.
    kRunGlyph = 1u << 29,
    // A blank between words (a space, say): printable, ends the word, breaks
    // the block chain and closes the case run, and is counted by nothing.
    // Runs of cased letters take these in their stride.
    kBlank = 1u << 30,
    // Punctuation that counts as such but otherwise acts as a blank: it ends
    // the word without marking it, breaks the block chain and closes the case
    // run (a full stop or comma of CJK text, say). Runs of letters without
    // case take these in their stride too.
    kCountedBlank = 1u << 31,
    kOtherScript = kCjk | kKatakana | kArabic,
};

// 1 when `bit` is set in `word`, else 0.
constexpr int32_t bit(uint32_t word, uint32_t mask) noexcept { return (word & mask) != 0 ? 1 : 0; }

// Characters that join parts of one word without counting as letters.
constexpr bool is_word_joiner(Py_UCS4 cp) noexcept {
    switch (cp) {
        case '-':
        case '<':
        case '=':
        case '>':
        case '_':
        case '|':
        case '~':
            return true;
        default:
            return false;
    }
}

inline uint32_t of(Py_UCS4 cp, const CharInfoObject* info) noexcept {
    auto set = [](int32_t flag, uint32_t mask) noexcept { return flag != 0 ? mask : 0u; };
    uint32_t word = kKnown;
    word |= set(info->printable, kPrintable);
    word |= set(!info->printable && !info->space && cp != 0x1A && cp != 0xFEFF, kUnprintable);
    word |= set(cp == 0x1B, kEscape);
    word |= set(!info->safe && info->punct, kCountedPunct);
    word |= set(!info->safe && !info->punct && !info->digit && info->sym && !info->emoticon, kCountedSymbol);
    word |= set(info->alpha, kAlpha);
    word |= set(info->is_ligature, kLigature);
    word |= set(info->lower, kLower);
    word |= set(info->upper, kUpper);
    word |= set(!info->is_ascii, kNonAscii);
    word |= set(info->accentuated, kAccentuated);
    word |= set(info->is_glyph, kGlyph);
    word |= set(!info->is_glyph && (!info->latin || info->accentuated), kForeignLetter);
    word |= set(info->is_sentence_open_punctuation, kOpensSentence);
    word |= set(info->is_superscript, kSuperscript);
    word |= set(info->space || info->punct || info->sep, kEndsWord);
    word |= set(!is_word_joiner(cp) && !info->digit && info->sym, kSymbolInWord);
    word |= set(!info->alpha || !info->case_variable, kCaseSeparator);
    word |= set(info->digit, kDigit);
    word |= set(info->space || info->punct || info->safe, kChainBreak);
    word |= set(info->latin, kLatin);
    word |= set(info->is_cjk, kCjk);
    word |= set(info->is_katakana, kKatakana);
    word |= set(info->is_halfwidth_katakana, kHalfwidthKatakana);
    word |= set(info->is_arabic, kArabic);
    word |= set(info->common_cjk, kCommonCjk);
    word |= set((info->flags & g.ARABIC_ISOLATED_FORM) != 0, kIsolatedForm);
    const uint32_t not_in_run = kUnprintable | kEscape | kCountedPunct | kCountedSymbol | kLigature | kGlyph |
                                kCaseSeparator | kChainBreak | kCjk | kKatakana | kArabic;
    const bool plain =
        (word & (kAlpha | kPrintable)) == (kAlpha | kPrintable) &&
        (word & (kUnprintable | kEscape | kCountedPunct | kCountedSymbol | kLigature | kChainBreak)) == 0;
    word |= set(plain && (word & not_in_run) == 0, kRunLetter);
    word |= set(plain && (word & kCaseSeparator) != 0, kRunGlyph);
    // A printable mark inside a word (a combining vowel, say): it neither
    // ends nor marks the word, and closes or opens the case run like a letter
    // without case, so it joins such runs. (Digits would too, but they
    // mostly stand alone, where a run costs more than it saves.)
    const uint32_t marks_word = kUnprintable | kEscape | kCountedPunct | kCountedSymbol | kChainBreak | kEndsWord |
                                kSymbolInWord | kOpensSentence | kSuperscript | kDigit;
    word |= set((word & (kAlpha | kPrintable)) == kPrintable && (word & marks_word) == 0, kRunGlyph);
    const uint32_t blank_test = kPrintable | kUnprintable | kEscape | kCountedPunct | kCountedSymbol | kAlpha |
                                kOpensSentence | kSuperscript | kEndsWord | kCaseSeparator | kDigit | kChainBreak;
    word |= set((word & blank_test) == (kPrintable | kEndsWord | kCaseSeparator | kChainBreak), kBlank);
    word |= set((word & blank_test) == (kPrintable | kCountedPunct | kEndsWord | kCaseSeparator | kChainBreak),
                kCountedBlank);
    return word;
}

}  // namespace vx::murkel::bits
