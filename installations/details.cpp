#include "details.h"

#include "inventory.h"
#include "registry_paths.h"
#include "registry_read.h"
#include "utf16.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

namespace installations {
namespace {

using registry_paths::InSoftware;
using registry_paths::InSystem;

// CBS package states that mean installed: Installed (0x70) and Permanent (0x80), which cannot be
// removed; staged, superseded and pending ones are not.
constexpr std::uint64_t kCbsInstalled = 0x70;
constexpr std::uint64_t kCbsPermanent = 0x80;

std::optional<std::string> NonEmpty(std::optional<std::string> text) {
    if (text && text->empty()) return std::nullopt;
    return text;
}

// A FILETIME kept as two REG_DWORDs, its high and low halves.
std::optional<std::string> SplitFiletime(const OpenKey& key, const char16_t* high, const char16_t* low) {
    const auto h = key.Number(high), l = key.Number(low);
    if (!h || !l || *h > 0xFFFFFFFFu || *l > 0xFFFFFFFFu) return std::nullopt;
    return FiletimeUtc(*h << 32 | *l);
}

// An LCID kept as hex text ("0409", "00000409") as four digits at least, upper case.
std::optional<std::string> Lcid(std::optional<std::string> text) {
    if (!text || text->empty() || text->size() > 8 ||
        !std::all_of(text->begin(), text->end(), [](unsigned char c) { return std::isxdigit(c); }))
        return std::nullopt;
    char out[16];
    std::snprintf(out, sizeof out, "%04lX", std::stoul(*text, nullptr, 16));
    return out;
}

// The KB number a servicing package's or hotfix's name carries ("Package_2_for_KB5031356~..."),
// "KB" and its digits.
std::optional<std::string> KbOf(std::u16string_view name) {
    for (size_t at = 0; at + 2 < name.size(); ++at) {
        if ((name[at] | 0x20) != u'k' || (name[at + 1] | 0x20) != u'b') continue;
        std::string kb = "KB";
        for (size_t i = at + 2; i < name.size() && name[i] >= u'0' && name[i] <= u'9'; ++i) kb += char(name[i]);
        if (kb.size() > 2) return kb;
    }
    return std::nullopt;
}

std::optional<std::vector<NetworkInterface>> Interfaces() {
    const std::u16string path = InSystem(registry_paths::kTcpipInterfaces).wide;
    const OpenKey all(path);
    if (!all) return std::nullopt;
    const auto usable = [](const std::string& a) { return !a.empty() && a != "0.0.0.0"; };
    std::vector<NetworkInterface> out;
    for (const auto& name : all.Subkeys()) {
        const OpenKey key(path + u"\\" + name);
        NetworkInterface nic{Utf16ToWtf8(name), false, {}, {}};
        nic.dhcp = key.Number(u"EnableDHCP").value_or(0) != 0;
        if (nic.dhcp) {
            if (auto address = key.String(u"DhcpIPAddress"); address && usable(*address))
                nic.addresses.push_back(*address);
            // 255.255.255.255 is what an interface that found no server keeps.
            if (auto server = key.String(u"DhcpServer"); server && usable(*server) && *server != "255.255.255.255")
                nic.dhcpServer = server;
        } else {
            // A REG_MULTI_SZ as documented; some installations keep a REG_SZ.
            for (const auto& address : key.Strings(u"IPAddress").value_or(std::vector<std::string>{}))
                if (usable(address)) nic.addresses.push_back(address);
        }
        if (!nic.addresses.empty() || nic.dhcpServer) out.push_back(std::move(nic));
    }
    return out;
}

std::optional<std::vector<UserProfile>> Profiles() {
    const std::u16string path = InSoftware(registry_paths::kProfileList).wide;
    const OpenKey all(path);
    if (!all) return std::nullopt;
    std::vector<UserProfile> out;
    for (const auto& name : all.Subkeys()) {
        const OpenKey key(path + u"\\" + name);
        UserProfile profile{Utf16ToWtf8(name), NonEmpty(key.String(u"ProfileImagePath")), {}};
        profile.lastLoad = SplitFiletime(key, u"LocalProfileLoadTimeHigh", u"LocalProfileLoadTimeLow");
        if (!profile.lastLoad) profile.lastLoad = SplitFiletime(key, u"ProfileLoadTimeHigh", u"ProfileLoadTimeLow");
        out.push_back(std::move(profile));
    }
    return out;
}

// Vista on: the servicing stack's packages, one KB in several packages; XP and 2003: HotFix's keys.
std::optional<Updates> InstalledUpdates() {
    std::set<std::string> kbs;
    Updates updates;
    const std::u16string packagesPath = InSoftware(registry_paths::kServicingPackages).wide;
    if (const OpenKey packages(packagesPath); packages) {
        std::uint64_t newest = 0;
        for (const auto& name : packages.Subkeys()) {
            const auto kb = KbOf(name);
            if (!kb) continue;
            const OpenKey key(packagesPath + u"\\" + name);
            const auto state = key.Number(u"CurrentState");
            if (!state || (*state != kCbsInstalled && *state != kCbsPermanent)) continue;
            kbs.insert(*kb);
            const auto high = key.Number(u"InstallTimeHigh"), low = key.Number(u"InstallTimeLow");
            if (!high || !low || *high > 0xFFFFFFFFu || *low > 0xFFFFFFFFu) continue;
            if (const std::uint64_t time = *high << 32 | *low; time > newest && FiletimeUtc(time)) {
                newest = time;
                updates.newestKb = kb;
                updates.newestInstall = FiletimeUtc(time);
            }
        }
    } else {
        const std::u16string path = InSoftware(registry_paths::kHotFix).wide;
        const OpenKey hotfixes(path);
        if (!hotfixes) return std::nullopt;
        for (const auto& name : hotfixes.Subkeys()) {
            const auto kb = KbOf(name);
            // Installed is 1 for one in place; older entries have no such value.
            if (kb && OpenKey(path + u"\\" + name).Number(u"Installed").value_or(1) == 1) kbs.insert(*kb);
        }
    }
    updates.installed = static_cast<unsigned>(kbs.size());
    return updates;
}

}  // namespace

Details ReadDetails() {
    Details d;
    const OpenKey nt(InSoftware(registry_paths::kNtCurrentVersion).wide);
    d.registeredOwner = NonEmpty(nt.String(u"RegisteredOwner"));
    d.registeredOrganization = NonEmpty(nt.String(u"RegisteredOrganization"));
    d.productId = NonEmpty(nt.String(u"ProductId"));
    d.installTime = InstallTime(nt);

    // A FILETIME as REG_BINARY, as Windows writes it; a REG_QWORD is taken too.
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    if (OpenKey(InSystem(registry_paths::kWindowsControl).wide).Raw(u"ShutdownTime", type, data) &&
        (type == REG_BINARY || type == REG_QWORD) && data.size() == 8) {
        std::uint64_t time = 0;
        std::memcpy(&time, data.data(), 8);
        d.lastShutdown = FiletimeUtc(time);
    }

    const OpenKey zone(InSystem(registry_paths::kTimeZone).wide);
    d.timeZone = NonEmpty(zone.String(u"TimeZoneKeyName"));
    if (!d.timeZone) d.timeZone = NonEmpty(zone.String(u"StandardName"));
    if (auto bias = zone.Number(u"Bias"); bias && *bias <= 0xFFFFFFFFu)
        d.timeZoneBias = static_cast<std::int32_t>(static_cast<std::uint32_t>(*bias));

    // The system locale is Nls\Locale's default value; Nls\Language's Default where that is missing.
    d.systemLocale = Lcid(OpenKey(InSystem(registry_paths::kLocale).wide).String(u""));
    const OpenKey language(InSystem(registry_paths::kLanguage).wide);
    if (!d.systemLocale) d.systemLocale = Lcid(language.String(u"Default"));
    d.installLanguage = Lcid(language.String(u"InstallLanguage"));

    const OpenKey tcpip(InSystem(registry_paths::kTcpip).wide);
    d.hostName = NonEmpty(tcpip.String(u"Hostname"));
    if (!d.hostName) d.hostName = NonEmpty(tcpip.String(u"NV Hostname"));
    d.dnsDomain = NonEmpty(tcpip.String(u"Domain"));
    if (!d.dnsDomain) d.dnsDomain = NonEmpty(tcpip.String(u"DhcpDomain"));

    const OpenKey winlogon(InSoftware(registry_paths::kWinlogon).wide);
    d.logonDomain = NonEmpty(winlogon.String(u"DefaultDomainName"));
    if (!d.logonDomain) d.logonDomain = NonEmpty(winlogon.String(u"CachePrimaryDomain"));

    d.interfaces = Interfaces();
    d.profiles = Profiles();
    d.updates = InstalledUpdates();
    return d;
}

}  // namespace installations
