// Unicode properties that the escaped text form needs, from generated tables.
#pragma once

namespace corvane {

/// True for a character that is written as \u{hex} in the escaped form: it
/// extends a grapheme or is not printable (control, format, surrogate, private
/// use, unassigned, line/paragraph separator, or a space other than U+0020).
[[nodiscard]] bool needs_unicode_escape(char32_t c) noexcept;

}  // namespace corvane
