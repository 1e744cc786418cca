// quoml_core.hpp -- Tcl list-element quoting on raw code units.
//
// The two passes of list quoting (scan an element for the characters that
// matter, then write it braced or backslashed) and the exact size of the
// result, templated on the width of a code unit (uint8_t, uint16_t or
// uint32_t, the three string kinds of the host).  Nothing here knows about
// Python objects: the extension module drives it over string data, and a
// fuzzing harness can include it on its own and check what it writes against
// Tcl's own list parser.  Depends on the C++ standard library only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quoml_core {

// Element flags as a bitmask; the extension module turns them into the
// strings "USE_BRACES", "TCL_DONT_USE_BRACES" and "BRACES_UNMATCHED" only
// where Python code can see them.
enum : unsigned {
    kUseBraces = 1u,        // write the element inside one pair of braces
    kDontUseBraces = 2u,    // braces cannot protect it: write backslashes
    kBracesUnmatched = 4u,  // backslash every brace of the element
};
constexpr unsigned kCannotBrace = kDontUseBraces | kBracesUnmatched;

// Character classes of the first 256 code points.  Every special character
// is ASCII; everything else is kPlain and is copied unchanged.
enum Class : std::uint8_t {
    kPlain = 0,
    kOpen,       // {
    kClose,      // }
    kForce,      // [ $ ; space: force braces, backslashed otherwise
    kControl,    // \f \n \r \t \v: force braces, written as \f \n ... otherwise
    kBackslash,  // backslash
    kEscape,     // ] and double quote: backslashed, never force braces
};

struct ClassTable {
    std::uint8_t c[256];
    constexpr ClassTable() : c() {
        c[static_cast<unsigned char>('{')] = kOpen;
        c[static_cast<unsigned char>('}')] = kClose;
        c[static_cast<unsigned char>('[')] = kForce;
        c[static_cast<unsigned char>('$')] = kForce;
        c[static_cast<unsigned char>(';')] = kForce;
        c[static_cast<unsigned char>(' ')] = kForce;
        c[static_cast<unsigned char>('\f')] = kControl;
        c[static_cast<unsigned char>('\n')] = kControl;
        c[static_cast<unsigned char>('\r')] = kControl;
        c[static_cast<unsigned char>('\t')] = kControl;
        c[static_cast<unsigned char>('\v')] = kControl;
        c[static_cast<unsigned char>('\\')] = kBackslash;
        c[static_cast<unsigned char>(']')] = kEscape;
        c[static_cast<unsigned char>('"')] = kEscape;
    }
};
inline constexpr ClassTable kClasses{};

template <typename C>
inline unsigned class_of(C ch) noexcept {
    return ch < 256 ? static_cast<unsigned>(kClasses.c[ch]) : static_cast<unsigned>(kPlain);
}

// What the scan learns about one element: its flags and the counts that fix
// the length of every form it can be written in.
struct Scan {
    unsigned flags = 0;
    std::size_t length = 0;   // code units of the element
    std::size_t escaped = 0;  // [ $ ; space ] " backslash: one backslash each when not braced
    std::size_t braces = 0;   // { and }: one backslash each when braces are unmatched
    std::size_t controls = 0; // \f \n \r \t \v: two characters each when not braced
    bool leading_brace = false;
};

/*
 *----------------------------------------------------------------------
 *
 * braces_balance --
 *
 *	Counts braces the way Tcl's parser does inside a braced word: a
 *	backslash escapes the character after it, so an escaped brace does
 *	not count.
 *
 * Results:
 *	true when the count never falls below zero and ends at zero, that is
 *	when "{" + s + "}" is read back by Tcl as exactly s.
 *
 * Side effects:
 *	None.
 *
 *----------------------------------------------------------------------
 */
template <typename C>
inline bool braces_balance(const C* s, std::size_t n) noexcept {
    long level = 0;  // brace depth as Tcl counts it
    for (std::size_t p = 0; p < n; ++p) {
        const unsigned cls = class_of(s[p]);
        if (cls == kPlain) continue;
        if (cls == kBackslash) {
            ++p;  // the escaped character never counts
        } else if (cls == kOpen) {
            ++level;
        } else if (cls == kClose) {
            if (--level < 0) return false;
        }
    }
    return level == 0;
}

/*
 *----------------------------------------------------------------------
 *
 * scan --
 *
 *	First pass over one element: decides whether it can be written in
 *	braces, must be written with backslashes, or needs nothing.
 *
 *	The rules are Tcl's, with two differences that are part of this
 *	module's contract: a leading "#" gets no treatment, and the brace
 *	count steps over a backslash by one character only, so an escaped
 *	brace counts like any other.  Because of the second, braces chosen by
 *	the count are checked again as Tcl's parser counts them inside a
 *	braced word (braces_balance); when that check fails the element is
 *	written with backslashes instead, as every other element that braces
 *	cannot protect.  Without the check, "\{}" would be written "{\{}}",
 *	which Tcl rejects, and "\{} [x] " would be written so that evaluating
 *	the list runs the command x.
 *
 * Results:
 *	The flags and counts of the element.
 *
 * Side effects:
 *	None.
 *
 *----------------------------------------------------------------------
 */
template <typename C>
inline Scan scan(const C* s, std::size_t n) noexcept {
    Scan r;
    r.length = n;
    unsigned flags = 0;
    long level = 0;  // brace depth, escaped braces included
    if (n == 0 || s[0] == '{' || s[0] == '"') flags |= kUseBraces;
    r.leading_brace = n > 0 && s[0] == '{';
    for (std::size_t p = 0; p < n; ++p) {
        const unsigned cls = class_of(s[p]);
        if (cls == kPlain) continue;
        switch (cls) {
            case kOpen:
                ++level;
                ++r.braces;
                break;
            case kClose:
                ++r.braces;
                if (--level < 0) flags |= kCannotBrace;
                break;
            case kForce:
                flags |= kUseBraces;
                ++r.escaped;
                break;
            case kControl:
                flags |= kUseBraces;
                ++r.controls;
                break;
            case kBackslash:
                ++r.escaped;
                if (p + 1 == n || s[p + 1] == '\n')
                    flags = kCannotBrace;  // replaces everything collected so far
                else
                    flags |= kUseBraces;
                break;
            case kEscape:
                ++r.escaped;
                break;
            default:
                break;
        }
    }
    if (level != 0) flags = kCannotBrace;
    if ((flags & (kUseBraces | kDontUseBraces)) == kUseBraces && !braces_balance(s, n)) flags = kCannotBrace;
    r.flags = flags;
    return r;
}

// Whether the conversion writes the element in braces under these flags.
inline bool braced(unsigned flags) noexcept {
    return (flags & (kUseBraces | kDontUseBraces)) == kUseBraces;
}

// The flags the conversion ends with: a leading "{" that is not braced is
// backslashed, and from then on every brace is.
inline unsigned effective_flags(const Scan& sc, unsigned flags) noexcept {
    if (sc.length != 0 && !braced(flags) && sc.leading_brace) flags |= kBracesUnmatched;
    return flags;
}

/*
 *----------------------------------------------------------------------
 *
 * converted_length --
 *
 *	The exact number of code units that convert() writes for an element
 *	with these counts under these flags.
 *
 * Results:
 *	The length; never more than 2 * length + 2.
 *
 * Side effects:
 *	None.
 *
 *----------------------------------------------------------------------
 */
inline std::size_t converted_length(const Scan& sc, unsigned flags) noexcept {
    if (sc.length == 0) return 2;
    if (braced(flags)) return sc.length + 2;
    flags = effective_flags(sc, flags);
    return sc.length + sc.escaped + sc.controls + ((flags & kBracesUnmatched) ? sc.braces : 0);
}

// True when convert() writes the element exactly as it stands.
inline bool unchanged(const Scan& sc, unsigned flags) noexcept {
    return converted_length(sc, flags) == sc.length && sc.length != 0 && !braced(flags);
}

/*
 *----------------------------------------------------------------------
 *
 * convert --
 *
 *	Second pass: writes one element as it must stand in a Tcl list.  An
 *	empty element is "{}"; a braced one is the text inside one pair of
 *	braces; otherwise every character that Tcl would interpret is
 *	preceded by a backslash, the five control characters become their
 *	two-character escapes, and braces are backslashed when the flags say
 *	they are unmatched (a leading "{" always is).
 *
 * Results:
 *	The end of what was written.  dst must have room for
 *	converted_length(sc, flags) code units of type D, D at least as wide
 *	as C.
 *
 * Side effects:
 *	Writes to dst.
 *
 *----------------------------------------------------------------------
 */
template <typename C, typename D>
inline D* convert(const C* s, const Scan& sc, unsigned flags, D* dst) noexcept {
    const std::size_t n = sc.length;
    if (n == 0) {
        *dst++ = '{';
        *dst++ = '}';
        return dst;
    }
    if (braced(flags)) {
        *dst++ = '{';
        if (sizeof(C) == sizeof(D)) {
            std::memcpy(dst, s, n * sizeof(D));
            dst += n;
        } else {
            for (std::size_t p = 0; p < n; ++p) *dst++ = static_cast<D>(s[p]);
        }
        *dst++ = '}';
        return dst;
    }
    flags = effective_flags(sc, flags);
    const bool brace_escape = (flags & kBracesUnmatched) != 0;
    if (sc.escaped == 0 && sc.controls == 0 && (sc.braces == 0 || !brace_escape)) {
        if (sizeof(C) == sizeof(D)) {
            std::memcpy(dst, s, n * sizeof(D));
            return dst + n;
        }
        for (std::size_t p = 0; p < n; ++p) *dst++ = static_cast<D>(s[p]);
        return dst;
    }
    for (std::size_t p = 0; p < n; ++p) {
        const C ch = s[p];
        switch (class_of(ch)) {
            case kPlain:
                break;
            case kOpen:
            case kClose:
                if (brace_escape) *dst++ = '\\';
                break;
            case kControl:
                *dst++ = '\\';
                switch (ch) {
                    case '\f': *dst++ = 'f'; break;
                    case '\n': *dst++ = 'n'; break;
                    case '\r': *dst++ = 'r'; break;
                    case '\t': *dst++ = 't'; break;
                    default: *dst++ = 'v'; break;
                }
                continue;
            default:  // [ $ ; space ] " backslash
                *dst++ = '\\';
                break;
        }
        *dst++ = static_cast<D>(ch);
    }
    return dst;
}

}  // namespace quoml_core
