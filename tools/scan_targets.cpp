// Parsing the targets of vrnscan and vrnprog into a list of addresses.
#include "scan_targets.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "program_args.h"

namespace {

bool address_value(const std::string& text, std::uint32_t* ip) { return vrn_dotted_value(text.c_str(), ip); }

std::string bad(const std::string& text) {
    return "Bad target " + text +
           " (an IPv4 address, a range like 192.168.0.10-40 or a block like 192.168.0.0/24 expected)";
}

std::string too_large(const std::string& text) {
    return "Target " + text + " is larger than a /16 (at most 65536 addresses)";
}

// first..last of one target, or the reason it is refused.
std::string target_span(const std::string& text, std::uint32_t* first, std::uint32_t* last) {
    const std::size_t dash = text.find('-'), slash = text.find('/');
    if (dash != std::string::npos) {
        const std::string end = text.substr(dash + 1);
        if (!address_value(text.substr(0, dash), first)) return bad(text);
        if (end.find('.') != std::string::npos) {
            if (!address_value(end, last)) return bad(text);
        } else {
            const long part = vrn_sector_value(end.c_str());  // decimal digits only
            if (part < 0 || part > 255) return bad(text);
            *last = (*first & 0xFFFFFF00u) | static_cast<std::uint32_t>(part);
        }
        if (*last < *first) return bad(text);
        if (*last - *first >= VRN_SCAN_MAX_ADDRESSES) return too_large(text);
        return "";
    }
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        const long prefix = vrn_sector_value(bits.c_str());
        if (!address_value(text.substr(0, slash), first) || prefix < 0 || prefix > 32) return bad(text);
        if (prefix < 16) return too_large(text);
        const std::uint32_t host_bits = prefix == 32 ? 0u : 0xFFFFFFFFu >> prefix;
        *first &= ~host_bits;
        *last = *first | host_bits;
        // The network and broadcast addresses are no module's.
        if (prefix <= 30) {
            ++*first;
            --*last;
        }
        return "";
    }
    if (!address_value(text, first)) return bad(text);
    *last = *first;
    return "";
}

}  // namespace

std::string vrn_scan_targets(const std::vector<std::string>& texts, std::vector<std::uint32_t>* out) {
    out->clear();
    for (const std::string& text : texts) {
        std::uint32_t first = 0, last = 0;
        std::string why = target_span(text, &first, &last);
        if (!why.empty()) return why;
        for (std::uint32_t ip = first;; ++ip) {
            out->push_back(ip);
            if (ip == last) break;
        }
        std::sort(out->begin(), out->end());
        out->erase(std::unique(out->begin(), out->end()), out->end());
        if (out->size() > VRN_SCAN_MAX_ADDRESSES)
            return "The targets hold more than 65536 addresses (a /16); scan them in parts";
    }
    return "";
}

int vrn_jobs_value(const char* text) {
    const std::size_t n = std::strlen(text);
    if (n >= 1 && n <= 2 && std::strspn(text, "0123456789") == n) {
        const int jobs = std::atoi(text);
        if (jobs >= 1 && jobs <= VRN_JOBS_MAX) return jobs;
    }
    std::printf("### ERROR: Bad jobs %s (1..%d modules at once expected)\n", text, VRN_JOBS_MAX);
    return -1;
}
