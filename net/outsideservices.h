#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

// The two web services on the internet that the address list asks: one checks whether
// the server's port can be reached from outside and reports the public address, the
// other points the owner's dynamic host name at this machine. The request URLs and the
// reading of the replies live here, free of widgets, so both front ends share them.
namespace OutsideServices {

// The services' host names and the provider's domain suffix of the owner's host name.
// Change them here only; the README lists them.
constexpr char PortCheckHost[] = "portcheck.example.net";
constexpr char DnsUpdateHost[] = "dynip.example.org";
constexpr char DnsDomainSuffix[] = ".dynip.example.org";

constexpr char UserAgent[] = "TarnwickServer_1";
// A service that never answers counts as a failed request after this long.
constexpr int RequestTimeoutMs = 15000;

// Replies are told apart by their body size alone.
constexpr int MaxIgnoredSize = 52;
constexpr int MaxPortCheckSize = 100;

// Test seam: points both services at other base URLs (scheme, host and port; the paths
// are appended) and sets the time-out. The tests aim them at a fake service on
// loopback; the programs never call this.
void setServiceBases(const QUrl &portCheck, const QUrl &dnsUpdate, int timeoutMs = RequestTimeoutMs);

QUrl portCheckUrl(int port);
// The user name and password are percent-encoded, so "&", "=" or "#" in them stay theirs.
QUrl dnsUpdateUrl(const QString &user, const QString &password);
// A GET request for url with the program's User-Agent and the time-out.
QNetworkRequest request(const QUrl &url);

enum class ReplyKind { Ignored, PortCheck, DnsUpdate };
ReplyKind replyKind(const QByteArray &body);

struct PortCheckResult
{
    bool reachable = false;
    QString publicAddress;
};
// Reads a port-check reply. Safe for any body: missing markers or a short body give
// "not reachable" and whatever text is left, never a read out of range.
PortCheckResult parsePortCheck(const QByteArray &body);

// True when a dynamic-DNS reply says the host name now points here.
bool dnsUpdated(const QByteArray &body);
// The owner's host name at the provider.
QString dnsHostName(const QString &user);

} // namespace OutsideServices
