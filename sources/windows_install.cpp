#include "sources/windows_install.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>

#include "base/file_util.h"
#include "base/numbered_error.h"
#include "base/posix_handles.h"
#include "base/unicode_case.h"
#include "base/utf8.h"
#include "registry/hive/hive_lock.h"
#include "registry/hive/hive_logs.h"
#include "registry/hive/hive_registry.h"
#include "registry/root_keys.h"
#include "registry/value_forms.h"

namespace keyscour::sources {

namespace {

bool SameIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperCaseOf(a[i]) != UpperCaseOf(b[i])) return false;
    return true;
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The path below folder that components name, each found ignoring case.
std::optional<std::string> PathIgnoringCase(std::string folder, const std::vector<std::wstring>& components) {
    for (const auto& component : components) {
        const auto entry = EntryIgnoringCase(folder, component);
        if (!entry) return std::nullopt;
        folder += "/" + *entry;
    }
    return folder;
}

// A hive read as a search reads it, its logs replayed into a private
// copy, which lives as long as the registry.
struct ReadHive {
    HiveLogState logs;
    std::unique_ptr<HiveRegistry> registry;
    explicit ReadHive(const std::string& file)
        : logs(CheckTransactionLogs(ResolvedHivePath(file), true)),
          registry(std::make_unique<HiveRegistry>(file, false, HiveRegistry::CommitFunction{},
                                                  logs.recovered ? logs.ImagePath() : std::string())) {}

    std::optional<std::wstring> Text(const std::wstring& key, const std::wstring& name, std::uint32_t* type = nullptr) {
        std::uint32_t found = 0;
        std::vector<std::uint8_t> data;
        if (!Read(key, name, found, data)) return std::nullopt;
        if (type) *type = found;
        if (found != value_type::kString && found != value_type::kExpandString) return std::nullopt;
        return StringOf(data);
    }
    bool Read(const std::wstring& key, const std::wstring& name, std::uint32_t& type, std::vector<std::uint8_t>& data) {
        KeyHandle handle = 0;
        if (registry->OpenKey(HiveRegistry::kRoot, key, handle) != status::kSuccess) return false;
        const Status status = registry->QueryValue(handle, name, type, data);
        registry->CloseKey(handle);
        return status == status::kSuccess;
    }
    std::vector<std::wstring> SubKeys(const std::wstring& key) {
        std::vector<std::wstring> names;
        KeyHandle handle = 0;
        if (registry->OpenKey(HiveRegistry::kRoot, key, handle) != status::kSuccess) return names;
        std::vector<wchar_t> name(256);
        for (std::uint32_t i = 0; registry->EnumKey(handle, i, name.data(), static_cast<std::uint32_t>(name.size())) ==
                                  status::kSuccess;
             ++i)
            names.emplace_back(name.data());
        registry->CloseKey(handle);
        return names;
    }
};

constexpr wchar_t kCurrentVersion[] = L"Microsoft\\Windows NT\\CurrentVersion";

// Where a profile's folder lies on the volume, from its ProfileImagePath;
// none, with why, for a folder elsewhere or a name not known offline.
class ProfilePaths {
public:
    ProfilePaths(std::string volume, std::wstring systemRoot) : volume_(std::move(volume)), systemRoot_(std::move(systemRoot)) {
        // The system drive is the one the Windows folder is on.
        if (systemRoot_.size() >= 2 && systemRoot_[1] == L':') systemDrive_ = systemRoot_.substr(0, 2);
    }

    std::optional<std::string> Folder(const std::wstring& imagePath, std::wstring& why) const {
        std::wstring path;
        for (std::size_t at = 0; at < imagePath.size();) {
            const std::size_t open = imagePath.find(L'%', at);
            const std::size_t close = open == std::wstring::npos ? open : imagePath.find(L'%', open + 1);
            if (close == std::wstring::npos) {
                path += imagePath.substr(at);
                break;
            }
            path += imagePath.substr(at, open - at);
            const std::wstring name = imagePath.substr(open + 1, close - open - 1);
            if (SameIgnoringCase(name, L"SystemDrive")) {
                path += systemDrive_;
            } else if (SameIgnoringCase(name, L"SystemRoot") || SameIgnoringCase(name, L"windir")) {
                path += systemRoot_;
            } else {
                why = L"it names %" + name + L"%, which is not known offline";
                return std::nullopt;
            }
            at = close + 1;
        }
        if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\??\\")) path.erase(0, 4);
        if (path.size() < 2 || !SameIgnoringCase(path.substr(0, 2), systemDrive_) ||
            (path.size() > 2 && path[2] != L'\\')) {
            why = L"it is not on the system drive " + systemDrive_ + L", which is the folder given";
            return std::nullopt;
        }
        std::vector<std::wstring> components;
        for (std::size_t at = 3; at < path.size();) {
            const std::size_t slash = std::min(path.find(L'\\', at), path.size());
            const std::wstring component = path.substr(at, slash - at);
            if (component == L"..") {
                why = L"it climbs out of its folder with ..";
                return std::nullopt;
            }
            if (!component.empty() && component != L".") components.push_back(component);
            at = slash + 1;
        }
        const auto folder = PathIgnoringCase(volume_, components);
        if (!folder || !IsFolder(*folder)) {
            why = L"its folder is not on the volume";
            return std::nullopt;
        }
        return folder;
    }

private:
    std::string volume_;
    std::wstring systemRoot_;
    std::wstring systemDrive_ = L"C:";
};

// The last component of a Windows path: a profile's folder name.
std::wstring LastComponent(std::wstring path) {
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

HiveMount MountAt(const std::string& file, KeyHandle root, std::wstring path, std::wstring user = {}) {
    HiveMount mount;
    mount.file = file;
    mount.root = root;
    mount.rootName = std::wstring(RootKeyNameOf(root));
    mount.path = std::move(path);
    mount.user = std::move(user);
    return mount;
}

// Windows writes the magic "HIBR" (or "hibr") at the start of hiberfil.sys
// when it hibernates, Fast Startup's shutdown included, and clears it when
// it resumes.
std::wstring HibernationOf(const std::string& volume) {
    const auto name = EntryIgnoringCase(volume, L"hiberfil.sys");
    if (!name) return {};
    const std::string path = volume + "/" + *name;
    const unique_fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char magic[4] = {};
    if (!file || ::read(file.get(), magic, sizeof magic) < 0)
        return FromUtf8(path) + L" cannot be read (" + ErrorText(errno) +
               L"), so whether that Windows is hibernated is not known";
    const std::string_view seen(magic, sizeof magic);
    if (seen != "HIBR" && seen != "hibr") return {};
    return FromUtf8(path) + L" shows that Windows is hibernated (Fast Startup included): it resumes with the registry it "
                            L"holds in memory and writes that over any change made here. Start it and shut it down "
                            L"fully (shutdown /s /t 0) first";
}

// Folders every Users folder holds that are no one's profile.
bool IsSharedUsersEntry(std::wstring_view name) {
    for (const wchar_t* shared : {L"Public", L"Default", L"All Users", L"Default User", L"desktop.ini"})
        if (SameIgnoringCase(name, shared)) return true;
    return false;
}

}  // namespace

std::optional<std::string> EntryIgnoringCase(const std::string& folder, std::wstring_view name) {
    const std::string exact = ToUtf8(name);
    struct stat info {};
    if (::lstat((folder + "/" + exact).c_str(), &info) == 0) return exact;
    const unique_dir listing(::opendir(folder.c_str()));
    if (!listing) return std::nullopt;
    std::vector<std::string> matches;
    while (const dirent* entry = ::readdir(listing.get()))
        if (SameIgnoringCase(FromUtf8(entry->d_name), name)) matches.emplace_back(entry->d_name);
    if (matches.empty()) return std::nullopt;
    // Two names that differ in case alone: the same one every run.
    return *std::min_element(matches.begin(), matches.end());
}

std::optional<std::wstring> CurrentControlSet(const std::string& systemFile) {
    ReadHive system(systemFile);
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    if (!system.Read(L"Select", L"Current", type, data) || type != value_type::kDword || data.size() != 4)
        return std::nullopt;
    const std::uint32_t number = data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    if (number == 0 || number > 999) return std::nullopt;
    wchar_t name[32];
    std::swprintf(name, 32, L"ControlSet%03u", number);
    return std::wstring(name);
}

Installation FindInstallation(const std::string& folder) {
    Installation found;
    found.folder = folder;
    const auto config = PathIgnoringCase(folder, {L"Windows", L"System32", L"config"});
    if (!config || !IsFolder(*config))
        throw BadInput{L"--windows: " + FromUtf8(folder) +
                       L" holds no Windows\\System32\\config folder; give the root of the volume Windows is on (the "
                       L"folder with Windows and Users in it)"};
    const auto machineHive = [&](const wchar_t* name) {
        return *config + "/" + EntryIgnoringCase(*config, name).value_or(ToUtf8(name));
    };
    for (const wchar_t* name : {L"SAM", L"SECURITY", L"SOFTWARE", L"SYSTEM"})
        found.hives.push_back(MountAt(machineHive(name), kLocalMachine, name));
    // DEFAULT is also LocalSystem's profile, S-1-5-18, mounted once.
    found.hives.push_back(MountAt(machineHive(L"DEFAULT"), kUsers, L".DEFAULT"));
    found.hibernated = HibernationOf(folder);

    std::vector<HiveMount> users;
    std::set<std::string> profileFolders;
    const std::string software = machineHive(L"SOFTWARE");
    try {
        ReadHive hive(software);
        const std::wstring systemRoot = hive.Text(kCurrentVersion, L"SystemRoot").value_or(L"C:\\Windows");
        const ProfilePaths paths(folder, systemRoot);
        const std::wstring list = std::wstring(kCurrentVersion) + L"\\ProfileList";
        for (const auto& sid : hive.SubKeys(list)) {
            const std::wstring entry = L"ProfileList\\" + sid;
            if (SameIgnoringCase(sid, L"S-1-5-18")) continue;
            if (sid.size() > 4 && SameIgnoringCase(sid.substr(sid.size() - 4), L".bak")) {
                found.leftOut.push_back(entry + L": a copy Windows kept of a profile's entry; left out");
                continue;
            }
            std::uint32_t type = 0;
            const auto imagePath = hive.Text(list + L"\\" + sid, L"ProfileImagePath", &type);
            if (!imagePath) {
                found.leftOut.push_back(entry + L": no ProfileImagePath text; left out");
                continue;
            }
            std::wstring why;
            const auto profile = paths.Folder(*imagePath, why);
            if (!profile) {
                found.leftOut.push_back(entry + L": its profile " + *imagePath + L" is left out: " + why);
                continue;
            }
            // Two entries naming one folder would mount one hive twice.
            if (!profileFolders.insert(ResolvedHivePath(*profile)).second) {
                found.leftOut.push_back(entry + L": its profile " + *imagePath +
                                        L" is another entry's too; left out, the first kept");
                continue;
            }
            const std::wstring user = LastComponent(*imagePath);
            const auto ntuser = EntryIgnoringCase(*profile, L"NTUSER.DAT");
            if (!ntuser) {
                found.leftOut.push_back(entry + L": " + FromUtf8(*profile) + L" holds no NTUSER.DAT; left out");
                continue;
            }
            users.push_back(MountAt(*profile + "/" + *ntuser, kUsers, sid, user));
            if (const auto classes =
                    PathIgnoringCase(*profile, {L"AppData", L"Local", L"Microsoft", L"Windows", L"UsrClass.dat"}))
                users.push_back(MountAt(*classes, kUsers, sid + L"_Classes", user));
        }
    } catch (const HiveError&) {
        // Said where the hive itself is opened; its profiles cannot be known.
        found.leftOut.push_back(L"no profile is searched: SOFTWARE, whose ProfileList names them, cannot be read");
    }
    std::sort(users.begin(), users.end(),
              [](const HiveMount& a, const HiveMount& b) { return UpperCased(a.path) < UpperCased(b.path); });
    found.hives.insert(found.hives.end(), users.begin(), users.end());

    // A folder of Users no entry names is not guessed at: whose it is, and
    // where Windows would mount it, only ProfileList says.
    if (const auto usersFolder = EntryIgnoringCase(folder, L"Users")) {
        const std::string usersPath = folder + "/" + *usersFolder;
        std::vector<std::string> names;
        if (const unique_dir listing{::opendir(usersPath.c_str())})
            while (const dirent* entry = ::readdir(listing.get())) names.emplace_back(entry->d_name);
        std::sort(names.begin(), names.end());
        for (const auto& name : names) {
            const std::string path = usersPath + "/" + name;
            if (name == "." || name == ".." || IsSharedUsersEntry(FromUtf8(name)) || !IsFolder(path)) continue;
            if (profileFolders.count(ResolvedHivePath(path))) continue;
            found.leftOut.push_back(FromUtf8(path) + L": a folder ProfileList names for no one; left out");
        }
    }
    return found;
}

}  // namespace keyscour::sources
