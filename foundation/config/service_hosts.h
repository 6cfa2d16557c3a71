// Where the family-organizer service lives. Its hosts sit under one domain;
// the programs only ever reach a running service in the local client mode
// (the development stand-in on this machine) or through LocalConfig.xml.
#pragma once

namespace quol {

inline constexpr char kServiceDomain[] = "quol.example";
inline constexpr char kDownloadHost[] = "download.quol.example";  // configuration, packages
inline constexpr char kApiHost[] = "api.quol.example";            // sign-in
inline constexpr char kCentralHost[] = "my.quol.example";         // calendar, web application
inline constexpr char kSecureHost[] = "secure.quol.example";
inline constexpr char kWebSiteHost[] = "www.quol.example";        // public site, never a service page
inline constexpr char kPartnerHost[] = "quol.partner.example";
inline constexpr char kWebAddress[] = "www.quol.example";
inline constexpr char kSupportAddress[] = "support@quol.example";
inline constexpr char kFeedbackAddress[] = "feedback@quol.example";

// The stand-in's ports in the local client mode.
inline constexpr int kLocalApiPort = 11110;
inline constexpr int kLocalWebPort = 2175;

}  // namespace quol
