#pragma once

// The names under which the folder monitor, its companion client and the app
// find each other. Each is written here once; everything else refers to it.

namespace zivuv::names {

// The service on the session bus: its well-known name, its one object, and
// the interface of its protocol, which carries the service's name.
inline constexpr const char* kBusName = "VO9ZE47VOD.com.dozezeza.FolderMonitor";
inline constexpr const char* kObjectPath = "/VO9ZE47VOD/com/dozezeza/FolderMonitor";
inline constexpr const char* kProtocolInterface = kBusName;
// What the service is doing, as read-only properties on the same object.
inline constexpr const char* kStatusInterface = "VO9ZE47VOD.com.dozezeza.FolderMonitor.Status";

// The broadcast that the shared settings changed,
// "com.rudirideva.Zivuv.DefaultsChanged": on the bus, the signal
// DefaultsChanged of the interface com.rudirideva.Zivuv.
inline constexpr const char* kDefaultsChangedInterface = "com.rudirideva.Zivuv";
inline constexpr const char* kDefaultsChangedMember = "DefaultsChanged";

// The app: its name on notices, its identifier (the object of the broadcast,
// and the desktop entry its notices are grouped under) and the URL that
// brings it forward.
inline constexpr const char* kAppName = "Zivuv";
inline constexpr const char* kAppId = "com.dozezeza.Zivuv";
inline constexpr const char* kAppURL = "vizarudavez://";

// Settings: the suite shared with the app, and the service's own domain,
// which also labels its queue.
inline constexpr const char* kSharedSuite = "VO9ZE47VOD.com.dozezeza";
inline constexpr const char* kOwnDomain = "com.vezudi.Zivuv.FolderMonitor";

}  // namespace zivuv::names
