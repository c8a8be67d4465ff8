#pragma once
// The SDK's helpers: its storage folder and the file operations in it, dates on the wire, digests,
// target keys, property validation and what it knows of the application.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"

namespace quorvane {

enum class MSApplicationState : int { Active = 0, Inactive = 1, Background = 2, Unknown = 3 };
enum class MSEnvironment : int { AppStore = 0, TestFlight = 1, Other = 99 };

class MSUtility {
public:
    // --- dates ---
    // "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC on the Gregorian calendar, whatever the user's locale
    // and time zone.
    static std::string dateToISO8601(platform::Date date);

    // --- application ---
    // Unknown off the main thread and inside an extension; otherwise Background while the
    // application is hidden, else Active.
    static MSApplicationState applicationState();
    // The executable lies inside an application extension (".appex/" in its path).
    static bool isAppExtension();
    static MSEnvironment currentAppEnvironment() { return MSEnvironment::Other; }

    // --- storage under $XDG_DATA_HOME/<bundle identifier>/com.dedozirav.revazezar ---
    // Every component is relative to the storage root; every operation runs under one lock.
    static std::filesystem::path storageRoot();
    static std::filesystem::path fullURLForPathComponent(std::string_view component);
    static bool fileExistsForPathComponent(std::string_view component);
    // Writes data (none: an empty file). Without forceOverwrite an existing file is kept and its
    // path returned. nullopt when the component is absent or the write failed (logged).
    static std::optional<std::filesystem::path> createFileAtPathComponent(
        const std::optional<std::string>& component, const std::optional<platform::Bytes>& data, bool atomically,
        bool forceOverwrite);
    static std::optional<platform::Bytes> loadDataForPathComponent(std::string_view component);
    // Removes the file or the whole folder; false (logged at debug level) on failure, a missing
    // item included.
    static bool deleteItemForPathComponent(std::string_view component);
    static bool deleteFileAtURL(const std::filesystem::path& url);
    // The folder's entries, sorted by name; nullopt for an empty component or a folder that
    // cannot be listed (logged at debug level).
    static std::optional<std::vector<std::filesystem::path>> contentsOfDirectory(std::string_view component);
    static std::optional<std::filesystem::path> createDirectoryForPathComponent(std::string_view component);

    // --- text ---
    // The part of a target token before the first "-"; nullopt when that part is empty.
    static std::optional<std::string> targetKeyFromTargetToken(std::string_view token);
    // Why a transmission target token cannot be used, or none when it can: a token starts with its
    // target key and is printable ASCII without spaces or commas (it travels in a comma-separated
    // header).
    static std::optional<std::string> targetTokenProblem(std::string_view token);
    static std::string sha256(std::string_view text);
    // At most 20 string properties, keys and values cut to 125 UTF-16 units (never inside a
    // surrogate pair; a key whose cut is another's is skipped); what is skipped or cut is logged
    // at warning level.
    static std::map<std::string, std::string> validateProperties(const platform::Value& properties,
                                                                 std::string_view logName, std::string_view logType);
};

inline constexpr int kMSMaxPropertiesPerLog = 20;
inline constexpr int kMSMaxPropertyKeyLength = 125;
inline constexpr int kMSMaxPropertyValueLength = 125;

}  // namespace quorvane
