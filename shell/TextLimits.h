#pragma once
// How long a text from outside (the database, a reader, an exception) may be
// where the agent keeps or shows it, and the cut that keeps a longer one to a
// line.
//
// The bounds are chosen from what the installation's texts legitimately hold:
// the longest command text is a time profile ("PERFIL"), two digits of count
// and at most 99 entries of 10 characters, 992 characters; every other field
// the agent reads (reader ids, command codes, port names) is a short name,
// and the old engine's text fields held at most 255 characters.
//
// Thread safety: pure functions and constants.

#include <QString>

namespace TextLimits {

// A command text ("Texto" of COMANDO): four times the longest profile, so a
// front end that pads or adds a little never meets it.
inline constexpr qsizetype kCommandText = 4096;
// Any other text field read from the database (reader id, command code).
inline constexpr qsizetype kField = 255;
// A message in a session log line, on standard error, or in a row of the
// window: room for a whole command text and the words around it.
inline constexpr qsizetype kLine = 8192;

// `text` when it has at most `max` characters; otherwise its first
// characters followed by the visible mark of the cut,
// " [... cortado: N caracteres en total]", the whole at most `max`
// characters long (or the mark alone when `max` is smaller than the mark).
QString Capped(const QString& text, qsizetype max = kLine);

}  // namespace TextLimits
