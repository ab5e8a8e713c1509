#include "outsideservices.h"

namespace OutsideServices {

namespace {

constexpr char PortCheckPath[] = "/tools/open-ports/check.php";
constexpr char DnsUpdatePath[] = "/cgi-bin/dynip.cgi";

// Where the markers of a reply are looked for.
constexpr int SuccessFrom = 9;
constexpr int AddressFrom = 36;
constexpr int AddressFallbackCut = 3;
constexpr int UpdatedFrom = 120;

struct Bases
{
    QUrl portCheck = QUrl(QLatin1String("http://") + QLatin1String(PortCheckHost));
    QUrl dnsUpdate = QUrl(QLatin1String("http://") + QLatin1String(DnsUpdateHost));
    int timeoutMs = RequestTimeoutMs;
};

Bases &bases()
{
    static Bases current;
    return current;
}

QUrl withPath(QUrl base, const char *path, const QByteArray &encodedQuery)
{
    base.setPath(base.path() + QLatin1String(path));
    base.setQuery(QString::fromLatin1(encodedQuery), QUrl::StrictMode);
    return base;
}

} // namespace

void setServiceBases(const QUrl &portCheck, const QUrl &dnsUpdate, int timeoutMs)
{
    bases() = {portCheck, dnsUpdate, timeoutMs};
}

QUrl portCheckUrl(int port)
{
    return withPath(bases().portCheck, PortCheckPath, "portNumber=" + QByteArray::number(port));
}

QUrl dnsUpdateUrl(const QString &user, const QString &password)
{
    return withPath(bases().dnsUpdate, DnsUpdatePath,
                    "username=" + QUrl::toPercentEncoding(user)
                        + "&password=" + QUrl::toPercentEncoding(password));
}

QNetworkRequest request(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setRawHeader("User-Agent", UserAgent);
    request.setTransferTimeout(bases().timeoutMs);
    return request;
}

ReplyKind replyKind(const QByteArray &body)
{
    if (body.size() > MaxPortCheckSize)
        return ReplyKind::DnsUpdate;
    if (body.size() > MaxIgnoredSize)
        return ReplyKind::PortCheck;
    return ReplyKind::Ignored;
}

PortCheckResult parsePortCheck(const QByteArray &body)
{
    PortCheckResult result;
    result.reachable = body.indexOf("success", SuccessFrom) >= 0;

    QByteArray address = body;
    const qsizetype on = address.indexOf(" on ", AddressFrom);
    if (on >= 0)
        address.remove(0, on + 4);
    else
        address.remove(0, AddressFallbackCut);
    // The address ends one byte before the first double quote.
    const qsizetype quote = address.indexOf('"');
    if (quote >= 0)
        address.truncate(qMax<qsizetype>(quote - 1, 0));
    const qsizetype zero = address.indexOf('\0');
    if (zero >= 0)
        address.truncate(zero);
    result.publicAddress = QString::fromLatin1(address);
    return result;
}

bool dnsUpdated(const QByteArray &body)
{
    return body.indexOf("has been updated", UpdatedFrom) >= 0;
}

QString dnsHostName(const QString &user)
{
    return user + QLatin1String(DnsDomainSuffix);
}

} // namespace OutsideServices
