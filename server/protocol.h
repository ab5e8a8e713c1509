#pragma once

// Every protocol text the server writes or matches, defined once.
namespace Http {

constexpr char Version[] = "HTTP/1.1 ";
constexpr char Crlf[] = "\r\n";

// Status lines, the text after the version. Success is 202 throughout, but for a part of a file.
constexpr char StatusOk[] = "202 OK";
// The interim answer that lets a client waiting on "Expect: 100-continue" send its body.
constexpr char StatusContinue[] = "100 Continue";
constexpr char StatusUnauthorized[] = "401 Authorization Required";
// A request for another site's name (DNS rebinding), or a form another site posted.
constexpr char StatusForbidden[] = "403 Forbidden";
constexpr char StatusNotFound[] = "404 Not Found";
constexpr char StatusServerError[] = "500 Internal Server Error";
constexpr char StatusCantRead[] = "501 Can't read file";
constexpr char StatusUnavailable[] = "503 Service Unavailable";
// The answers to a Range request, when files open in the browser.
constexpr char StatusPartial[] = "206 Partial Content";
constexpr char StatusRangeNotSatisfiable[] = "416 Range Not Satisfiable";

// Response header lines and their prefixes.
constexpr char ServerLine[] = "Server: TarnwickServer_1";
constexpr char ContentLengthPrefix[] = "Content-Length: ";
constexpr char ContentTypePrefix[] = "Content-Type: ";
constexpr char SetCookiePrefix[] = "Set-Cookie: ";
constexpr char ConnectionClose[] = "Connection: close";
constexpr char BasicChallenge[] = "WWW-Authenticate: Basic realm=\"Private Area\"";
constexpr char AttachmentPrefix[] = "Content-Disposition: attachment; filename=";
// Follows the plain file name so that browsers save any name, also outside Latin-1, as it is.
constexpr char AttachmentUtf8Name[] = "; filename*=UTF-8''";
// When files open in the browser: their downloads can be resumed and seeked, and a file is
// shown only as the type it is sent as, never guessed to be a page.
constexpr char AcceptRangesLine[] = "Accept-Ranges: bytes";
constexpr char ContentRangePrefix[] = "Content-Range: ";
constexpr char NoSniffLine[] = "X-Content-Type-Options: nosniff";

// Request methods the server answers; any other is left unanswered.
constexpr char MethodGet[] = "GET";
constexpr char MethodPost[] = "POST";
// Answered, with the header alone, only when files open in the browser.
constexpr char MethodHead[] = "HEAD";
// The request line ends with this prefix and a version such as "1.1".
constexpr char VersionPrefix[] = "HTTP/";

// Request header names the server reads, compared without regard to letter case.
constexpr char HeaderContentLength[] = "Content-Length";
constexpr char HeaderContentType[] = "Content-Type";
constexpr char HeaderCookie[] = "Cookie";
constexpr char HeaderAuthorization[] = "Authorization";
constexpr char HeaderTransferEncoding[] = "Transfer-Encoding";
constexpr char HeaderExpect[] = "Expect";
constexpr char HeaderHost[] = "Host";
constexpr char HeaderOrigin[] = "Origin";
constexpr char HeaderFetchSite[] = "Sec-Fetch-Site";
constexpr char HeaderRange[] = "Range";
constexpr char HeaderIfRange[] = "If-Range";
// The one range unit understood, compared without regard to letter case.
constexpr char RangeUnit[] = "bytes";
// The Sec-Fetch-Site value of a request that a page of another site made.
constexpr char FetchCrossSite[] = "cross-site";
// The one expectation understood, compared without regard to letter case.
constexpr char ExpectContinue[] = "100-continue";
// The part header of an upload names its file here.
constexpr char HeaderContentDisposition[] = "Content-Disposition";
// The one authorization scheme understood, compared without regard to letter case.
constexpr char SchemeBasic[] = "Basic";

// The value written in the "Server" line and the "User-Agent" of outgoing requests.
constexpr char ProductName[] = "TarnwickServer_1";

// The browser session cookie.
constexpr char SessionCookie[] = "SessionId";
constexpr char CookieAttributes[] = "; HttpOnly; SameSite=Lax";

// Content types of the server's own pages.
constexpr char TypeHtml[] = "text/html";
constexpr char TypeHtmlUtf8[] = "text/html; charset=UTF-8";
constexpr char TypeTextUtf8[] = "text/plain; charset=UTF-8";
// The body type of an upload, compared without regard to letter case.
constexpr char TypeMultipartForm[] = "multipart/form-data";

// Request paths with a meaning of their own.
constexpr char PathRoot[] = "/";
constexpr char PathLogin[] = "/login";
constexpr char PathUpload[] = "/upload";
constexpr char FaviconSuffix[] = "/favicon.ico";

// The form field of the login page.
constexpr char PasswordField[] = "password";

} // namespace Http
