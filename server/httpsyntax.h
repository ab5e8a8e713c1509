#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The byte classes and small decodings that the request head and the upload body share.
namespace HttpSyntax {

bool isControl(char c);
bool isDigit(char c);
// A character of a header name, a method or a parameter name.
bool isTokenChar(char c);
bool isToken(QByteArrayView text);
// The value of a hexadecimal digit, -1 for another character.
int hexValue(char c);
bool equalsNoCase(QByteArrayView text, const char *name);

// Without the optional white space around header values and list items: blanks and tabs.
QByteArrayView trimOws(QByteArrayView text);

// "%" and two hex digits decoded; a stray "%" is kept as it is, rather than guessing a
// byte. With plusIsBlank, "+" is a blank, as in a form body.
QByteArray percentDecoded(QByteArrayView text, bool plusIsBlank);

// Clients send UTF-8 today, older ones Latin-1; bytes that are not valid UTF-8 can only
// be the latter.
QString utf8OrLatin1(QByteArrayView bytes);

} // namespace HttpSyntax
