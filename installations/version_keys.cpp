#include "version_keys.h"

#include <algorithm>

namespace installations {

const std::vector<VersionKey> kVersionKeys = {
    {u"SOFTWARE", u"Microsoft\\Windows NT\\CurrentVersion"},
    {u"SOFTWARE", u"Microsoft\\Windows\\CurrentVersion"},
    {u"SYSTEM", u"CurrentControlSet\\Control\\Windows"},
    {u"SYSTEM", u"CurrentControlSet\\Control\\ProductOptions"},
    {u"SYSTEM", u"CurrentControlSet\\Control\\ComputerName\\ComputerName"},
    {u"SYSTEM", u"CurrentControlSet\\Control\\Session Manager\\Environment"},
};

const std::vector<VersionKey> kDetailKeys = {
    {u"SOFTWARE", u"Microsoft\\Windows NT\\CurrentVersion\\Winlogon"},
    {u"SOFTWARE", u"Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\*"},
    {u"SOFTWARE", u"Microsoft\\Windows NT\\CurrentVersion\\HotFix\\*"},
    {u"SOFTWARE", u"Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\Packages\\*"},
    {u"SYSTEM", u"CurrentControlSet\\Control\\TimeZoneInformation"},
    {u"SYSTEM", u"CurrentControlSet\\Control\\Nls\\Language"},
    {u"SYSTEM", u"CurrentControlSet\\Control\\Nls\\Locale"},
    {u"SYSTEM", u"CurrentControlSet\\Services\\Tcpip\\Parameters"},
    {u"SYSTEM", u"CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\*"},
};

std::vector<std::u16string> SplitKeyPath(std::u16string_view path) {
    std::vector<std::u16string> names;
    for (size_t at = 0; at <= path.size();) {
        const size_t end = std::min(path.find(u'\\', at), path.size());
        if (end > at) names.emplace_back(path.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

}  // namespace installations
