// SPDX-License-Identifier: BSD-2-Clause
#include "outputs/clock_reference.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <vector>

namespace pcmtool {

namespace {

// ptp4l's management socket, where it listens for pmc.
constexpr const char *kPtp4lSocket = "/var/run/ptp4l";
// The domains asked: IEEE 1588's default and SMPTE ST 2059-2's.
constexpr int kDomains[] = {0, 127};
// The port states of a clock that follows a grandmaster or is one.
constexpr const char *kLocked[] = {"SLAVE", "MASTER", "PASSIVE"};

// "39a794.fffe.07cbd0" as EUI-64 in hyphenated upper-case pairs.
std::string eui64(const std::string &identity) {
    std::string hex;
    for (char c : identity)
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += char(std::toupper(static_cast<unsigned char>(c)));
    if (hex.size() != 16) return "";
    std::string out;
    for (size_t i = 0; i < 16; i += 2) out += (i ? "-" : "") + hex.substr(i, 2);
    return out;
}

std::string hyphenated_mac(std::string mac) {
    for (char &c : mac) c = c == ':' ? '-' : char(std::toupper(static_cast<unsigned char>(c)));
    return mac;
}

std::string sysfs_mac(const std::string &interface) {
    std::ifstream file("/sys/class/net/" + interface + "/address");
    std::string mac;
    return file >> mac && mac.size() == 17 && mac != "00:00:00:00:00:00" ? hyphenated_mac(mac) : "";
}

// The interface whose address is `address`, "" when none.
std::string interface_of(const std::string &address) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return "";
    std::string found;
    for (const ifaddrs *i = list; i && found.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6)) continue;
        char text[INET6_ADDRSTRLEN] = "";
        const void *raw = i->ifa_addr->sa_family == AF_INET6
                              ? static_cast<const void *>(&reinterpret_cast<sockaddr_in6 *>(i->ifa_addr)->sin6_addr)
                              : static_cast<const void *>(&reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr);
        if (inet_ntop(i->ifa_addr->sa_family, raw, text, sizeof text) && address == text) found = i->ifa_name;
    }
    freeifaddrs(list);
    return found;
}

std::string run_pmc(int domain) {
    const std::string command = "pmc -u -b 0 -d " + std::to_string(domain) +
                                " 'GET DEFAULT_DATA_SET' 'GET PARENT_DATA_SET' 'GET PORT_DATA_SET' 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return "";
    std::string out;
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
    pclose(pipe);
    return out;
}

}  // namespace

std::string grandmaster_from_pmc(const std::string &answers, std::string &state) {
    std::istringstream in(answers);
    std::string grandmaster, domain;
    bool locked = false;
    state.clear();
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string name, value;
        if (!(words >> name >> value)) continue;
        if (name == "grandmasterIdentity") grandmaster = eui64(value);
        else if (name == "domainNumber") domain = value;
        else if (name == "portState") {
            state += (state.empty() ? "" : ",") + value;
            locked = locked || std::find_if(std::begin(kLocked), std::end(kLocked),
                                            [&](const char *s) { return value == s; }) != std::end(kLocked);
        }
    }
    return locked && !grandmaster.empty() && !domain.empty() ? grandmaster + ":" + domain : "";
}

std::string find_ptp_grandmaster(std::string &state) {
    state.clear();
    if (access(kPtp4lSocket, F_OK) != 0) return "";
    for (int domain : kDomains) {
        const std::string found = grandmaster_from_pmc(run_pmc(domain), state);
        if (!found.empty() || !state.empty()) return found;
    }
    return "";
}

std::string interface_mac(const std::string &local_address) {
    const std::string own = sysfs_mac(interface_of(local_address));
    if (!own.empty()) return own;
    // Loopback has no hardware address: the machine's first that has one
    // stands for it.
    std::vector<std::string> names;
    if (DIR *dir = opendir("/sys/class/net")) {
        while (const dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names)
        if (std::string mac = sysfs_mac(name); !mac.empty()) return mac;
    return "00-00-00-00-00-00";
}

}  // namespace pcmtool
