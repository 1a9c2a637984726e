#pragma once

// Names on the bus that the tests address.
namespace zivuv::testing::names {

inline constexpr const char* kService = "VO9ZE47VOD.com.dozezeza.FolderMonitor";
inline constexpr const char* kObjectPath = "/VO9ZE47VOD/com/dozezeza/FolderMonitor";
inline constexpr const char* kInterface = "VO9ZE47VOD.com.dozezeza.FolderMonitor";

inline constexpr const char* kDefaultsChangedInterface = "com.rudirideva.Zivuv";
inline constexpr const char* kDefaultsChangedMember = "DefaultsChanged";

inline constexpr const char* kNotifications = "org.freedesktop.Notifications";
inline constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";

inline constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
inline constexpr const char* kOpenUriInterface = "org.freedesktop.portal.OpenURI";

}  // namespace zivuv::testing::names
