#pragma once

// Parameter ids of config.dat and init.dat. The numbers are the keys stored in the
// files, so they never change.
enum ParamId {
    ParamAuthMode = 0,
    ParamPassword = 1,
    ParamWarningMode = 3,
    ParamDownloadPath = 5,
    ParamMaxConn = 10,
    ParamDataLimit = 11,
    ParamOperatingMode = 41,
    ParamSharedPath = 42,
    ParamConfigPage = 44,
    ParamDnsEnabled = 410,
    ParamDnsUser = 411,
    ParamDnsPass = 412,
    ParamThumbnailView = 500,
    // Opt-ins, stored only while on, so that the file stays as older versions write it.
    ParamPhoneListing = 501,
    ParamInline = 502,
    ParamLifetime = 600,
    ParamPort = 8080,
};

// What a reader assumes when a key is missing (a damaged file loads as an empty map).
// String parameters read as the empty text.
namespace ReadDefault {
constexpr int AuthMode = 0;
constexpr int WarningMode = 1;
constexpr int MaxConn = 10;
constexpr int DataLimit = 0;
constexpr int DnsEnabled = 0;
constexpr int ThumbnailView = 0;
constexpr int PhoneListing = 0;
constexpr int Inline = 0;
constexpr int Lifetime = 600;
constexpr int Port = 8080;
constexpr int OperatingMode = 0;
constexpr int ConfigPage = 0;
} // namespace ReadDefault

// The values a setting may take, wherever it is entered (settings dialog, command line).
namespace Range {
constexpr int MinPort = 1;
constexpr int MaxPort = 65535;
// In KB of 1000 bytes; 0 is no limit.
constexpr int MaxDataLimit = 1000000000;
constexpr int MinLifetime = 60;
constexpr int MaxLifetime = 10000;
} // namespace Range

// Access control modes of ParamAuthMode.
enum AuthMode {
    AuthNone = 0,
    AuthPassword = 1,
    AuthBasic = 2,
};
