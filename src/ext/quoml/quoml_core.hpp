// quoml_core.hpp -- Tcl list-element quoting on raw code units.
//
// The two passes of list quoting (scan an element for the characters that
// matter, then write it braced or backslashed), the exact size of the
// result, and the scan of a whole list string worked out from the scans of
// its elements (ListScan), templated on the width of a code unit (uint8_t,
// uint16_t or uint32_t, the three string kinds of the host).  Nothing here knows about
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
// is ASCII; everything else is kPlain and is copied unchanged.  The order
// matters: from kForce on, the classes always need a backslash when the
// element is not braced.
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
    std::size_t length = 0;       // code units of the element
    std::size_t escaped = 0;      // [ $ ; space ] " backslash: one backslash each when not braced
    std::size_t braces = 0;       // { and }: one backslash each when braces are unmatched
    std::size_t controls = 0;     // \f \n \r \t \v: two characters each when not braced
    std::size_t forcing = 0;      // [ $ ; space and the five controls: characters that force braces
    std::size_t backslashes = 0;  // backslashes
    long level = 0;               // brace depth at the end, every brace counted
    long lowest = 0;              // lowest brace depth on the way (at most 0)
    bool leading_brace = false;
};

// Elements up to this length that hold a brace or a backslash are scanned
// character by character: for them a branch per character beats the longer
// dependency chains of the branch-free pass of long elements.
constexpr std::size_t kShort = 32;

// Whether the conversion writes the element in braces under these flags.
inline bool braced(unsigned flags) noexcept {
    return (flags & (kUseBraces | kDontUseBraces)) == kUseBraces;
}

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
 * scan_chars --
 *
 *	Scans one element character by character: its flags and the counts
 *	that fix the length of every form it can be written in.
 *
 *	The rules are Tcl's, with two differences that are part of this
 *	module's contract: a leading "#" gets no treatment, and the brace
 *	count steps over a backslash by one character only, so an escaped
 *	brace counts like any other.  A backslash that is last or followed
 *	by a newline replaces every flag collected so far by "braces cannot
 *	protect this"; later characters can add "use braces" again.
 *
 *	Because the count includes escaped braces, braces chosen by it are
 *	checked again as Tcl's parser counts them inside a braced word
 *	(braces_balance); when that check fails the element is written with
 *	backslashes instead, as every other element that braces cannot
 *	protect.  Without the check, "\{}" would be written "{\{}}", which
 *	Tcl rejects, and "\{} [x] " would be written so that evaluating the
 *	list runs the command x.
 *
 * Results:
 *	The flags and counts.
 *
 * Side effects:
 *	None.
 *
 *----------------------------------------------------------------------
 */
template <typename C>
inline Scan scan_chars(const C* s, std::size_t n) noexcept {
    Scan r;
    r.length = n;
    r.leading_brace = n > 0 && s[0] == '{';
    unsigned flags = 0;
    long level = 0;            // brace depth, escaped braces included
    if (n == 0 || s[0] == '{' || s[0] == '"') flags |= kUseBraces;
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
                if (--level < 0) {
                    flags |= kCannotBrace;
                    if (level < r.lowest) r.lowest = level;
                }
                break;
            case kForce:
                flags |= kUseBraces;
                ++r.escaped;
                ++r.forcing;
                break;
            case kControl:
                flags |= kUseBraces;
                ++r.controls;
                ++r.forcing;
                break;
            case kBackslash:
                ++r.escaped;
                ++r.backslashes;
                if (p + 1 == n || s[p + 1] == '\n')
                    flags = kCannotBrace;  // replaces everything collected so far
                else
                    flags |= kUseBraces;
                break;
            default:  // ] and double quote
                ++r.escaped;
                break;
        }
    }
    r.level = level;
    if (level != 0) flags = kCannotBrace;
    // Without a backslash the two ways of counting braces agree.
    if (r.backslashes && r.braces && braced(flags) && !braces_balance(s, n)) flags = kCannotBrace;
    r.flags = flags;
    return r;
}

// Per-character increments of the counts, packed into one 64-bit word of
// five 12-bit fields so that the scan adds one table entry per character
// without a branch; the fields are flushed every kChunk characters.
enum : unsigned { kEscapedShift = 0, kControlsShift = 12, kBracesShift = 24, kForcingShift = 36, kBackslashShift = 48 };
constexpr std::size_t kChunk = 4095;
constexpr std::uint64_t kField = 0xfff;

struct CountTable {
    std::uint64_t inc[256];
    signed char delta[256];  // brace depth change
    constexpr CountTable() : inc(), delta() {
        for (unsigned c = 0; c < 256; ++c) {
            std::uint64_t v = 0;
            switch (kClasses.c[c]) {
                case kOpen: v = std::uint64_t(1) << kBracesShift; delta[c] = 1; break;
                case kClose: v = std::uint64_t(1) << kBracesShift; delta[c] = -1; break;
                case kForce: v = (std::uint64_t(1) << kEscapedShift) | (std::uint64_t(1) << kForcingShift); break;
                case kControl: v = (std::uint64_t(1) << kControlsShift) | (std::uint64_t(1) << kForcingShift); break;
                case kBackslash: v = (std::uint64_t(1) << kEscapedShift) | (std::uint64_t(1) << kBackslashShift); break;
                case kEscape: v = std::uint64_t(1) << kEscapedShift; break;
                default: break;
            }
            inc[c] = v;
        }
    }
};
inline constexpr CountTable kCounts{};

// scan_chars for a long element: one branch-free pass gathers the counts,
// the brace depth both as the flags count it and as Tcl's parser counts it
// inside braces, and the lowest point of each.  Unless a backslash is
// followed by a newline or stands last (then the character rules decide),
// these give the same flags as scan_chars.
template <typename C>
inline Scan scan_long(const C* s, std::size_t n) noexcept {
    Scan r;
    r.length = n;
    r.leading_brace = n > 0 && s[0] == '{';
    std::size_t breaking = 0;     // backslashes followed by a newline or last
    long level = 0, lowest = 0;   // brace depth, every brace counted, and its lowest point
    long tlevel = 0, tlowest = 0; // the same as Tcl counts inside braces: escaped braces skipped
    unsigned after_bs = 0;        // the previous character is a backslash
    unsigned escaped = 0;         // the current character is escaped, as Tcl's parser sees it
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t end = n - start > kChunk ? start + kChunk : n;
        std::uint64_t acc = 0;
        for (std::size_t p = start; p < end; ++p) {
            const C ch = s[p];
            unsigned idx;
            if constexpr (sizeof(C) == 1)
                idx = ch;
            else
                idx = ch < 256 ? static_cast<unsigned>(ch) : 0u;
            acc += kCounts.inc[idx];
            const long d = kCounts.delta[idx];
            level += d;
            lowest = level < lowest ? level : lowest;
            tlevel += escaped ? 0 : d;
            tlowest = tlevel < tlowest ? tlevel : tlowest;
            const unsigned is_bs = ch == '\\';
            breaking += after_bs & static_cast<unsigned>(ch == '\n');
            after_bs = is_bs;
            escaped = is_bs & (escaped ^ 1u);
        }
        if (acc == 0) continue;  // nothing special in this chunk
        r.escaped += (acc >> kEscapedShift) & kField;
        r.controls += (acc >> kControlsShift) & kField;
        r.braces += (acc >> kBracesShift) & kField;
        r.forcing += (acc >> kForcingShift) & kField;
        r.backslashes += (acc >> kBackslashShift) & kField;
    }
    breaking += after_bs;  // a backslash as last character
    if (breaking) return scan_chars(s, n);  // it resets the flags where it stands
    r.level = level;
    r.lowest = lowest;
    unsigned flags = 0;
    if (n == 0 || s[0] == '{' || s[0] == '"' || r.forcing || r.backslashes) flags |= kUseBraces;
    if (lowest < 0) flags |= kCannotBrace;
    if (level != 0) flags = kCannotBrace;
    if (braced(flags) && (tlowest < 0 || tlevel != 0)) flags = kCannotBrace;
    r.flags = flags;
    return r;
}

/*
 *----------------------------------------------------------------------
 *
 * scan --
 *
 *	First pass over one element: decides whether it can be written in
 *	braces, must be written with backslashes, or needs nothing (the
 *	rules of scan_chars), and counts what the conversion will add.
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
    if (n > kShort) return scan_long(s, n);
    // A short element: count first, without a branch per character; only
    // braces and backslashes need the character rules.
    std::uint64_t acc = 0;
    for (std::size_t p = 0; p < n; ++p) {
        const C ch = s[p];
        if constexpr (sizeof(C) == 1)
            acc += kCounts.inc[ch];
        else
            acc += kCounts.inc[ch < 256 ? static_cast<unsigned>(ch) : 0u];
    }
    if (((acc >> kBracesShift) | (acc >> kBackslashShift)) & kField) return scan_chars(s, n);
    Scan r;
    r.length = n;
    r.escaped = (acc >> kEscapedShift) & kField;
    r.controls = (acc >> kControlsShift) & kField;
    r.forcing = (acc >> kForcingShift) & kField;
    r.flags = n == 0 || s[0] == '"' || r.forcing ? kUseBraces : 0u;
    return r;
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

// What convert() writes for each of the first 256 code points: whether a
// backslash goes before it (braces only when unmatched), and the character
// that stands for it (a control's letter).
struct WriteTable {
    std::uint8_t need[256];
    std::uint8_t need_unmatched[256];
    std::uint8_t out[256];
    constexpr WriteTable() : need(), need_unmatched(), out() {
        for (unsigned c = 0; c < 256; ++c) {
            const unsigned cls = kClasses.c[c];
            need[c] = cls >= kForce;
            need_unmatched[c] = cls != kPlain;
            out[c] = static_cast<std::uint8_t>(c);
        }
        out[static_cast<unsigned char>('\f')] = 'f';
        out[static_cast<unsigned char>('\n')] = 'n';
        out[static_cast<unsigned char>('\r')] = 'r';
        out[static_cast<unsigned char>('\t')] = 't';
        out[static_cast<unsigned char>('\v')] = 'v';
    }
};
inline constexpr WriteTable kWrite{};

/*
 *----------------------------------------------------------------------
 *
 * convert --
 *
 *	Second pass: writes one element of n code units as it must stand in
 *	a Tcl list.  An empty element is "{}"; a braced one is the text
 *	inside one pair of braces; otherwise every character that Tcl would
 *	interpret is preceded by a backslash, the five control characters
 *	become their two-character escapes, and braces are backslashed when
 *	the flags say they are unmatched (a leading "{" always is).
 *
 * Results:
 *	The end of what was written.  dst must have room for the
 *	converted_length() of the element under these flags, in code units
 *	of type D, D at least as wide as C.
 *
 * Side effects:
 *	Writes to dst.
 *
 *----------------------------------------------------------------------
 */
template <typename C, typename D>
inline D* convert(const C* s, std::size_t n, unsigned flags, D* dst) noexcept {
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
    // One step per character without a branch: a backslash is written and
    // kept only where needed, then the character (or a control's letter).
    // Braces need one only when unmatched.
    const std::uint8_t* need = (flags & kBracesUnmatched) || s[0] == '{' ? kWrite.need_unmatched : kWrite.need;
    for (std::size_t p = 0; p < n; ++p) {
        const C ch = s[p];
        const bool narrow = sizeof(C) == 1 || ch < 256;
        const unsigned idx = narrow ? static_cast<unsigned>(ch) : 0u;
        *dst = '\\';
        dst += need[idx];
        *dst++ = narrow ? static_cast<D>(kWrite.out[idx]) : static_cast<D>(ch);
    }
    return dst;
}

// The same, for an element described by its scan.
template <typename C, typename D>
inline D* convert(const C* s, const Scan& sc, unsigned flags, D* dst) noexcept {
    return convert(s, sc.length, flags, dst);
}

/*
 *----------------------------------------------------------------------
 *
 * ListScan --
 *
 *	The scan of a list string, built from the scans of its elements as
 *	they are written one after another with single spaces between them,
 *	without reading the list string again.  A list that is itself an
 *	element of an outer list is scanned this way for free.
 *
 *	Every written form has a known shape: "{}" for an empty element; a
 *	braced element is "{" + text + "}" whose braces balance both ways of
 *	counting (otherwise it would not be braced); an element written as
 *	it stands has no special character but balanced braces; an element
 *	written with backslashes doubles what it escapes, keeps its braces
 *	(escaped ones still count for the flags, not for Tcl's parser) and
 *	holds no raw newline.  So the brace count as Tcl's parser sees it
 *	always balances in a list string, and a breaking backslash can only
 *	be its last character.
 *
 *----------------------------------------------------------------------
 */
class ListScan {
  public:
    // Adds an element: its first and last code units, its scan, and the
    // flags it is written under.
    void add(std::uint32_t first, std::uint32_t last, const Scan& sc, unsigned flags) noexcept {
        const std::size_t n = sc.length;
        if (count_++) {  // the separating space
            ++r_.length;
            ++r_.escaped;
            ++r_.forcing;
        }
        const std::size_t written = converted_length(sc, flags);
        std::uint32_t head;  // first code unit as written
        last_backslash_ = false;
        if (n == 0) {
            r_.braces += 2;
            head = '{';
        } else if (braced(flags)) {
            r_.escaped += sc.escaped;
            r_.controls += sc.controls;
            r_.braces += sc.braces + 2;
            r_.forcing += sc.forcing;
            r_.backslashes += sc.backslashes;
            head = '{';
        } else {
            const unsigned eff = effective_flags(sc, flags);
            const bool unmatched = (eff & kBracesUnmatched) != 0;
            // backslashes put in: before each escaped character, control and unmatched brace
            const std::size_t added = written - n;
            r_.escaped += sc.escaped + added;
            r_.braces += sc.braces;
            r_.forcing += sc.forcing - sc.controls + (added ? 0 : sc.controls);
            r_.controls += added ? 0 : sc.controls;
            r_.backslashes += sc.backslashes + added;
            const long low = level_ + sc.lowest;
            if (low < lowest_) lowest_ = low;
            level_ += sc.level;
            const unsigned cls = class_of(first);
            head = cls == kPlain || ((cls == kOpen || cls == kClose) && !unmatched) ? first : '\\';
            last_backslash_ = last == '\\';
        }
        if (count_ == 1) first_ = head;
        r_.length += written;
    }

    // The scan of the whole list string.
    Scan finish() const noexcept {
        Scan r = r_;
        r.level = level_;
        r.lowest = lowest_;
        r.leading_brace = r.length > 0 && first_ == '{';
        unsigned flags = 0;
        if (r.length == 0 || first_ == '{' || first_ == '"' || r.forcing || r.backslashes) flags |= kUseBraces;
        if (lowest_ < 0) flags |= kCannotBrace;
        if (level_ != 0 || last_backslash_) flags = kCannotBrace;
        r.flags = flags;
        return r;
    }

  private:
    Scan r_;
    std::size_t count_ = 0;
    long level_ = 0, lowest_ = 0;
    std::uint32_t first_ = 0;
    bool last_backslash_ = false;
};

}  // namespace quoml_core
