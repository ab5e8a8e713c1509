#include "server/limits.h"
#include "server/multipart.h"

#include <QtTest>

using Multipart::Status;

namespace Multipart {
// Readable names in failure messages.
char *toString(Status status)
{
    switch (status) {
    case Status::Incomplete:
        return qstrdup("Incomplete");
    case Status::Complete:
        return qstrdup("Complete");
    case Status::Bad:
        return qstrdup("Bad");
    }
    return qstrdup("?");
}
} // namespace Multipart

namespace {

// The boundaries the common clients choose, and the part headers they write.
const QByteArray ChromiumBoundary("----WebKitFormBoundary7MA4YWxkTrZu0gW");
const QByteArray FirefoxBoundary("---------------------------9051914041544843365972754266");
const QByteArray CurlBoundary("------------------------d74496d66958873e");

QByteArray partHeadOf(const QByteArray &boundary, const QByteArray &lines)
{
    return "--" + boundary + "\r\n" + lines + "\r\n";
}

// What a reader stores that scans each arrival behind the bytes it held back before.
QByteArray storedFrom(const QList<QByteArray> &chunks, const QByteArray &boundary, bool *found)
{
    const QByteArray delimiter = Multipart::delimiter(boundary);
    QByteArray stored;
    QByteArray pending;
    for (const QByteArray &chunk : chunks) {
        pending += chunk;
        const Multipart::Scan scan = Multipart::scan(pending, delimiter);
        stored += pending.left(scan.content);
        if (scan.found) {
            *found = true;
            return stored;
        }
        pending.remove(0, scan.content);
    }
    *found = false;
    return stored;
}

} // namespace

class tst_Multipart : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void boundary_data();
    void boundary();
    void partHead_data();
    void partHead();
    void partHeadBounds();
    void fileName_data();
    void fileName();
    void storedName_data();
    void storedName();
    void scan_data();
    void scan();
    void delimiterSplitAtEveryOffset_data();
    void delimiterSplitAtEveryOffset();
};

void tst_Multipart::boundary_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("boundary"); // empty: no usable boundary

    QTest::addRow("Chromium") << "multipart/form-data; boundary=" + ChromiumBoundary << ChromiumBoundary;
    QTest::addRow("Firefox") << "multipart/form-data; boundary=" + FirefoxBoundary << FirefoxBoundary;
    QTest::addRow("curl") << "multipart/form-data; boundary=" + CurlBoundary << CurlBoundary;
    QTest::addRow("quoted, with a blank")
        << QByteArray("multipart/form-data; boundary=\"simple boundary\"") << QByteArray("simple boundary");
    QTest::addRow("names in another case")
        << QByteArray("Multipart/Form-Data; BOUNDARY=abc") << QByteArray("abc");
    QTest::addRow("after another parameter")
        << QByteArray("multipart/form-data; charset=utf-8; boundary=abc") << QByteArray("abc");
    QTest::addRow("before another parameter")
        << QByteArray("multipart/form-data; boundary=abc; charset=utf-8") << QByteArray("abc");
    QTest::addRow("blanks around the equals sign")
        << QByteArray("multipart/form-data ; boundary = abc") << QByteArray("abc");
    QTest::addRow("every allowed character")
        << QByteArray("multipart/form-data; boundary=\"aZ09'()+_,-./:=? x\"")
        << QByteArray("aZ09'()+_,-./:=? x");
    QTest::addRow("70 characters") << "multipart/form-data; boundary=" + QByteArray(70, 'b')
                                   << QByteArray(70, 'b');
    QTest::addRow("71 characters") << "multipart/form-data; boundary=" + QByteArray(71, 'b') << QByteArray();
    QTest::addRow("form body") << QByteArray("application/x-www-form-urlencoded") << QByteArray();
    QTest::addRow("other multipart type") << QByteArray("multipart/mixed; boundary=abc") << QByteArray();
    QTest::addRow("longer type name") << QByteArray("multipart/form-datax; boundary=abc") << QByteArray();
    QTest::addRow("no boundary") << QByteArray("multipart/form-data") << QByteArray();
    QTest::addRow("empty boundary") << QByteArray("multipart/form-data; boundary=") << QByteArray();
    QTest::addRow("quoted, ending in a blank")
        << QByteArray("multipart/form-data; boundary=\"abc \"") << QByteArray();
    QTest::addRow("character outside the set")
        << QByteArray("multipart/form-data; boundary=ab{c") << QByteArray();
    QTest::addRow("quote not closed") << QByteArray("multipart/form-data; boundary=\"abc") << QByteArray();
    QTest::addRow("boundary only in another parameter")
        << QByteArray("multipart/form-data; x=\"boundary=abc\"") << QByteArray();
}

void tst_Multipart::boundary()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, boundary);
    QCOMPARE(Multipart::boundary(contentType), boundary);
}

void tst_Multipart::partHead_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("boundary");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QByteArray>("disposition");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<int>("size"); // -1: the whole body but its last 4 bytes ("DATA")

    const QByteArray data("DATA");
    const QByteArray none;
    const QByteArray disposition("form-data; name=\"file\"; filename=\"a.txt\"");
    QTest::addRow("Chromium") << partHeadOf(ChromiumBoundary,
                                            "Content-Disposition: " + disposition
                                                + "\r\nContent-Type: text/plain\r\n")
            + data << ChromiumBoundary
                              << Status::Complete << disposition << QByteArray("text/plain") << -1;
    QTest::addRow("Firefox") << partHeadOf(FirefoxBoundary,
                                           "Content-Disposition: " + disposition
                                               + "\r\nContent-Type: application/octet-stream\r\n")
            + data << FirefoxBoundary
                             << Status::Complete << disposition << QByteArray("application/octet-stream")
                             << -1;
    QTest::addRow("curl") << partHeadOf(CurlBoundary,
                                        "Content-Disposition: form-data; name=\"file\"; "
                                        "filename=\"x.bin\"\r\nContent-Type: "
                                        "application/octet-stream\r\n")
            + data << CurlBoundary
                          << Status::Complete << QByteArray("form-data; name=\"file\"; filename=\"x.bin\"")
                          << QByteArray("application/octet-stream") << -1;
    QTest::addRow("type first, names in lower case")
        << partHeadOf("b", "content-type: image/png\r\ncontent-disposition: " + disposition + "\r\n") + data
        << QByteArray("b") << Status::Complete << disposition << QByteArray("image/png") << -1;
    QTest::addRow("no part header lines")
        << partHeadOf("b", "") + data << QByteArray("b") << Status::Complete << none << none << -1;
    QTest::addRow("other header lines ignored")
        << partHeadOf("b", "X-Other: 1\r\nContent-Disposition: " + disposition + "\r\n") + data
        << QByteArray("b") << Status::Complete << disposition << none << -1;
    QTest::addRow("first of two dispositions")
        << partHeadOf("b",
                      "Content-Disposition: " + disposition
                          + "\r\nContent-Disposition: form-data; filename=\"b.txt\"\r\n")
            + data
        << QByteArray("b") << Status::Complete << disposition << none << -1;
    QTest::addRow("bare LF line ends")
        << QByteArray("--b\nContent-Disposition: form-data; filename=\"a\"\n\nDATA") << QByteArray("b")
        << Status::Complete << QByteArray("form-data; filename=\"a\"") << none << -1;
    QTest::addRow("blanks after the boundary")
        << QByteArray("--b \t\r\nContent-Type: x/y\r\n\r\nDATA") << QByteArray("b") << Status::Complete
        << none << QByteArray("x/y") << -1;
    QTest::addRow("preamble") << QByteArray(
        "a preamble\r\nof two lines\r\n--b\r\nContent-Type: x/y\r\n\r\nDATA")
                              << QByteArray("b") << Status::Complete << none << QByteArray("x/y") << -1;
    const QByteArray typeOnly = partHeadOf("b", "Content-Type: x/y\r\n");
    QTest::addRow("content is the closing delimiter")
        << typeOnly + "\r\n--b--\r\n"
        << QByteArray("b") << Status::Complete << none << QByteArray("x/y") << int(typeOnly.size());
    QTest::addRow("empty body") << QByteArray() << QByteArray("b") << Status::Incomplete << none << none << 0;
    QTest::addRow("part of the boundary line")
        << QByteArray("--") << QByteArray("b") << Status::Incomplete << none << none << 0;
    QTest::addRow("boundary line without its end")
        << QByteArray("--b\r") << QByteArray("b") << Status::Incomplete << none << none << 0;
    QTest::addRow("header line without its end")
        << QByteArray("--b\r\nContent-Disposition: form-da") << QByteArray("b") << Status::Incomplete << none
        << none << 0;
    QTest::addRow("no empty line yet") << QByteArray("--b\r\nContent-Type: x/y\r\n") << QByteArray("b")
                                       << Status::Incomplete << none << none << 0;
    QTest::addRow("preamble without a boundary yet")
        << QByteArray("some preamble\r\n--") << QByteArray("b") << Status::Incomplete << none << none << 0;
    QTest::addRow("closed before any part")
        << QByteArray("--b--\r\n") << QByteArray("b") << Status::Bad << none << none << 0;
    QTest::addRow("another boundary") << QByteArray("--bx\r\nContent-Type: x/y\r\n\r\n") << QByteArray("b")
                                      << Status::Bad << none << none << 0;
    QTest::addRow("line without colon") << QByteArray("--b\r\nContent-Type x/y\r\n\r\n") << QByteArray("b")
                                        << Status::Bad << none << none << 0;
    QTest::addRow("blank in a header name") << QByteArray("--b\r\nContent Type: x/y\r\n\r\n")
                                            << QByteArray("b") << Status::Bad << none << none << 0;
    QTest::addRow("NUL in the file name")
        << QByteArray("--b\r\nContent-Disposition: form-data; filename=\"a") + '\0' + "b\"\r\n\r\n"
        << QByteArray("b") << Status::Bad << none << none << 0;
}

void tst_Multipart::partHead()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, boundary);
    QFETCH(Status, status);
    QFETCH(QByteArray, disposition);
    QFETCH(QByteArray, contentType);
    QFETCH(int, size);

    const Multipart::PartHeadResult result = Multipart::parsePartHead(body, boundary);
    QCOMPARE(result.status, status);
    if (status != Status::Complete) {
        QCOMPARE(result.size, 0);
        return;
    }
    QCOMPARE(result.head.disposition, disposition);
    QCOMPARE(result.head.contentType, contentType);
    QCOMPARE(result.size, size < 0 ? body.size() - 4 : qsizetype(size));
}

void tst_Multipart::partHeadBounds()
{
    const QByteArray start("--b\r\nContent-Disposition: form-data; filename=\"");
    const QByteArray end("\"\r\n\r\n");
    const QByteArray fits = start + QByteArray(Limits::MaxPartHead - start.size() - end.size(), 'n') + end;
    QCOMPARE(Multipart::parsePartHead(fits + "DATA", "b").status, Status::Complete);
    QCOMPARE(Multipart::parsePartHead(fits + "DATA", "b").size, qsizetype(Limits::MaxPartHead));

    const QByteArray tooLong = start + 'n' + fits.mid(start.size());
    QCOMPARE(Multipart::parsePartHead(tooLong + "DATA", "b").status, Status::Bad);
    // Once the bound is passed, no more bytes can help.
    QCOMPARE(Multipart::parsePartHead(tooLong.left(Limits::MaxPartHead + 1), "b").status, Status::Bad);
    QCOMPARE(Multipart::parsePartHead(tooLong.left(Limits::MaxPartHead), "b").status, Status::Incomplete);
    QCOMPARE(Multipart::parsePartHead(QByteArray(Limits::MaxPartHead + 1, 'p'), "b").status, Status::Bad);
}

void tst_Multipart::fileName_data()
{
    QTest::addColumn<QByteArray>("disposition");
    QTest::addColumn<bool>("named");
    QTest::addColumn<QString>("name");

    QTest::addRow("quoted") << QByteArray("form-data; name=\"file\"; filename=\"a.txt\"") << true
                            << QStringLiteral("a.txt");
    QTest::addRow("token") << QByteArray("form-data; name=file; filename=a.txt") << true
                           << QStringLiteral("a.txt");
    QTest::addRow("parameter name in capitals")
        << QByteArray("form-data; FILENAME=\"A.TXT\"") << true << QStringLiteral("A.TXT");
    QTest::addRow("no file chosen") << QByteArray("form-data; name=\"file\"; filename=\"\"") << true
                                    << QString();
    QTest::addRow("a plain field") << QByteArray("form-data; name=\"file\"") << false << QString();
    QTest::addRow("quote written by a browser")
        << QByteArray("form-data; filename=\"say %22hi%22.txt\"") << true << QStringLiteral("say \"hi\".txt");
    QTest::addRow("quote written by curl") << QByteArray("form-data; filename=\"say \\\"hi\\\".txt\"") << true
                                           << QStringLiteral("say \"hi\".txt");
    QTest::addRow("Windows path kept whole") << QByteArray("form-data; filename=\"C:\\fakepath\\x.txt\"")
                                             << true << QStringLiteral("C:\\fakepath\\x.txt");
    QTest::addRow("semicolon inside quotes")
        << QByteArray("form-data; filename=\"a;b.txt\"; name=\"f\"") << true << QStringLiteral("a;b.txt");
    QTest::addRow("filename inside another parameter")
        << QByteArray("form-data; name=\"x; filename=evil.txt\"; filename=\"good.txt\"") << true
        << QStringLiteral("good.txt");
    QTest::addRow("UTF-8") << QByteArray("form-data; filename=\"\xe6\x97\xa5\xe6\x9c\xac.txt\"") << true
                           << QStringLiteral("\u65e5\u672c.txt");
    QTest::addRow("Latin-1") << QByteArray("form-data; filename=\"\xe4.txt\"") << true
                             << QStringLiteral("\u00e4.txt");
    QTest::addRow("extended UTF-8 wins")
        << QByteArray("form-data; filename=\"rates.txt\"; filename*=UTF-8''%E2%82%AC%20rates.txt") << true
        << QStringLiteral("\u20ac rates.txt");
    QTest::addRow("extended Latin-1")
        << QByteArray("form-data; filename*=iso-8859-1'en'%E4.txt") << true << QStringLiteral("\u00e4.txt");
    QTest::addRow("extended, unknown character set")
        << QByteArray("form-data; filename=\"plain.txt\"; filename*=KOI8-R''%C1.txt") << true
        << QStringLiteral("plain.txt");
    QTest::addRow("quote not closed") << QByteArray("form-data; filename=\"a.txt") << false << QString();
    QTest::addRow("no parameters") << QByteArray("form-data") << false << QString();
}

void tst_Multipart::fileName()
{
    QFETCH(QByteArray, disposition);
    QFETCH(bool, named);
    QFETCH(QString, name);

    const std::optional<QString> result = Multipart::fileName(disposition);
    QCOMPARE(result.has_value(), named);
    if (named)
        QCOMPARE(*result, name);
}

void tst_Multipart::storedName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored"); // null: refused

    const QString refused;
    QTest::addRow("plain") << QStringLiteral("photo.jpg") << QStringLiteral("photo.jpg");
    QTest::addRow("parent folder") << QStringLiteral("../x") << QStringLiteral("x");
    QTest::addRow("absolute path") << QStringLiteral("/etc/x") << QStringLiteral("x");
    QTest::addRow("Windows path") << QStringLiteral("C:\\fakepath\\x.txt") << QStringLiteral("x.txt");
    QTest::addRow("mixed separators") << QStringLiteral("a/b\\c") << QStringLiteral("c");
    QTest::addRow("hidden file") << QStringLiteral(".profile") << QStringLiteral(".profile");
    QTest::addRow("three dots") << QStringLiteral("...") << QStringLiteral("...");
    QTest::addRow("blanks kept") << QStringLiteral(" a b ") << QStringLiteral(" a b ");
    QTest::addRow("UTF-8") << QStringLiteral("\u65e5\u672c\u8a9e.txt")
                           << QStringLiteral("\u65e5\u672c\u8a9e.txt");
    QTest::addRow("255 bytes") << QString(255, QLatin1Char('n')) << QString(255, QLatin1Char('n'));
    QTest::addRow("255 bytes of UTF-8") << QString(85, QChar(0x65e5)) << QString(85, QChar(0x65e5));
    QTest::addRow("256 bytes") << QString(256, QLatin1Char('n')) << refused;
    QTest::addRow("258 bytes of UTF-8") << QString(86, QChar(0x65e5)) << refused;
    QTest::addRow("empty") << QString() << refused;
    QTest::addRow("dot") << QStringLiteral(".") << refused;
    QTest::addRow("dot-dot") << QStringLiteral("..") << refused;
    QTest::addRow("ends in dot-dot") << QStringLiteral("a/..") << refused;
    QTest::addRow("Windows dot-dot") << QStringLiteral("a\\..") << refused;
    QTest::addRow("folder") << QStringLiteral("dir/") << refused;
    QTest::addRow("Windows folder") << QStringLiteral("C:\\dir\\") << refused;
    QTest::addRow("NUL") << QString::fromLatin1("a\0b", 3) << refused;
    QTest::addRow("control character") << QStringLiteral("a\x01z") << refused;
    QTest::addRow("line feed") << QStringLiteral("a\nb") << refused;
    QTest::addRow("tab") << QStringLiteral("a\tb") << refused;
    QTest::addRow("DEL") << QStringLiteral("a\x7f") << refused;
    QTest::addRow("C1 control from Latin-1") << QStringLiteral("a\u0085") << refused;
}

void tst_Multipart::storedName()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);

    const std::optional<QString> result = Multipart::storedName(name);
    QCOMPARE(result.has_value(), !stored.isNull());
    if (result)
        QCOMPARE(*result, stored);
}

void tst_Multipart::scan_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("boundary");
    QTest::addColumn<int>("content");
    QTest::addColumn<bool>("found");

    const QByteArray b("b0undary");
    QTest::addRow("closing delimiter") << QByteArray("abc\r\n--b0undary--\r\n") << b << 3 << true;
    QTest::addRow("delimiter of a next part")
        << QByteArray("abc\r\n--b0undary\r\nContent-Type: x/y") << b << 3 << true;
    QTest::addRow("delimiter first") << QByteArray("\r\n--b0undary--") << b << 0 << true;
    QTest::addRow("first of two") << QByteArray("a\r\n--b0undary\r\nb\r\n--b0undary--") << b << 1 << true;
    QTest::addRow("no delimiter") << QByteArray("abcdef") << b << 6 << false;
    QTest::addRow("empty") << QByteArray() << b << 0 << false;
    QTest::addRow("held: CR") << QByteArray("abc\r") << b << 3 << false;
    QTest::addRow("held: all but the last byte") << QByteArray("abc\r\n--b0undar") << b << 3 << false;
    QTest::addRow("not a start of it") << QByteArray("abc\r\n-x") << b << 7 << false;
    QTest::addRow("held from the second CR") << QByteArray("a\r\r\n--b") << b << 2 << false;
    QTest::addRow("boundary without line end") << QByteArray("a--b0undary--") << b << 13 << false;
    QTest::addRow("delimiter without CR") << QByteArray("a\n--b0undary--") << b << 14 << false;
    QTest::addRow("longer boundary in the content") << QByteArray("a\r\n--b0undar_y") << b << 14 << false;
    QTest::addRow("seven hyphens before a six-hyphen delimiter")
        << QByteArray("x\r\n-------y") << ChromiumBoundary << 11 << false;
    QTest::addRow("six-hyphen delimiter")
        << QByteArray("x\r\n--" + ChromiumBoundary + "--\r\n") << ChromiumBoundary << 1 << true;
}

void tst_Multipart::scan()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, boundary);
    QFETCH(int, content);
    QFETCH(bool, found);

    const Multipart::Scan result = Multipart::scan(data, Multipart::delimiter(boundary));
    QCOMPARE(result.content, qsizetype(content));
    QCOMPARE(result.found, found);
}

void tst_Multipart::delimiterSplitAtEveryOffset_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("boundary");

    const QByteArray block(1024, 'k');
    QTest::addRow("Chromium") << block << ChromiumBoundary;
    QTest::addRow("Firefox") << block << FirefoxBoundary;
    QTest::addRow("curl") << block << CurlBoundary;
    QTest::addRow("empty file") << QByteArray() << ChromiumBoundary;
    QTest::addRow("content of line ends") << QByteArray("\r\n\r\n\r\r\n") << ChromiumBoundary;
    QTest::addRow("boundary prefixes in the content") << QByteArray(
        "\r\n-------\r\n--" + ChromiumBoundary.chopped(1) + "x\r\n--\r\n-" + "--" + ChromiumBoundary + "\r")
                                                      << ChromiumBoundary;
    QTest::addRow("content ending in a boundary prefix")
        << QByteArray("data\r\n--" + CurlBoundary.left(10)) << CurlBoundary;
}

void tst_Multipart::delimiterSplitAtEveryOffset()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, boundary);
    const QByteArray body = content + Multipart::delimiter(boundary) + "--\r\n";

    bool found = false;
    for (qsizetype at = 0; at <= body.size(); ++at) {
        const QByteArray stored = storedFrom({body.left(at), body.mid(at)}, boundary, &found);
        QVERIFY2(found, qPrintable(QStringLiteral("split at %1").arg(at)));
        QVERIFY2(stored == content, qPrintable(QStringLiteral("split at %1").arg(at)));
    }

    // Three pieces, both cuts anywhere around the delimiter.
    const qsizetype from = qMax<qsizetype>(0, content.size() - 4);
    for (qsizetype first = from; first <= body.size(); ++first) {
        for (qsizetype second = first; second <= body.size(); ++second) {
            const QByteArray stored = storedFrom(
                {body.left(first), body.mid(first, second - first), body.mid(second)}, boundary, &found);
            QVERIFY2(found && stored == content,
                     qPrintable(QStringLiteral("cuts at %1, %2").arg(first).arg(second)));
        }
    }

    QList<QByteArray> bytes;
    for (const char c : body)
        bytes.append(QByteArray(1, c));
    QCOMPARE(storedFrom(bytes, boundary, &found), content);
    QVERIFY(found);

    // Without its delimiter the body is not complete, and what could start one is held back.
    const QByteArray cut = body.left(content.size() + Multipart::delimiter(boundary).size() - 1);
    QVERIFY(storedFrom({cut}, boundary, &found).size() <= content.size());
    QVERIFY(!found);
}

QTEST_GUILESS_MAIN(tst_Multipart)
#include "tst_multipart.moc"
