// Reading a scenario file.
#include "model/scenario.h"

#include <sstream>

namespace sim {
namespace {

bool to_u64(const std::string& s, uint64_t& v) {
    if (s.empty()) return false;
    try {
        size_t used = 0;
        v = std::stoull(s, &used, 0);
        return used == s.size();
    } catch (...) {
        return false;
    }
}

bool to_u32(const std::string& s, uint32_t& v) {
    uint64_t w;
    if (!to_u64(s, w) || w > 0xFFFFFFFFu) return false;
    v = static_cast<uint32_t>(w);
    return true;
}

bool to_bytes(const std::vector<std::string>& words, size_t from, std::vector<uint8_t>& out) {
    out.clear();
    for (size_t i = from; i < words.size(); ++i) {
        uint32_t v;
        if (!to_u32("0x" + words[i], v) || v > 255) return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool to_version(const std::string& s, uint8_t& major, uint8_t& minor) {
    const size_t dot = s.find('.');
    uint32_t a, b;
    if (dot == std::string::npos || !to_u32(s.substr(0, dot), a) || !to_u32(s.substr(dot + 1), b) ||
        a > 255 || b > 255) {
        return false;
    }
    major = static_cast<uint8_t>(a);
    minor = static_cast<uint8_t>(b);
    return true;
}

}  // namespace

bool parse_scenario(const std::string& text, Scenario& sc, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) w.push_back(word);
        if (w.empty()) continue;
        const std::string& key = w[0];
        const size_t n = w.size();
        uint32_t a = 0, b = 0, c = 0;
        bool ok = true;
        auto u = [&](size_t i, uint32_t& v) { return i < n && to_u32(w[i], v); };
        if (key == "bootloader") {
            ok = n == 2 && to_version(w[1], sc.boot_major, sc.boot_minor);
        } else if (key == "installed") {
            if (n == 2 && w[1] == "none") {
                sc.installed = false;
            } else {
                ok = n == 2 && to_version(w[1], sc.main_major, sc.main_minor);
                sc.installed = true;
            }
        } else if (key == "start_in_bootloader") {
            sc.start_in_bootloader = true;
        } else if (key == "restart_ms") { ok = u(1, sc.restart_ms);
        } else if (key == "turnaround_us") { ok = u(1, sc.turnaround_us);
        } else if (key == "erase_ack_ms") { ok = u(1, sc.erase_ack_ms);
        } else if (key == "erase_ms") { ok = u(1, sc.erase_ms);
        } else if (key == "program_ms") { ok = u(1, sc.program_ms);
        } else if (key == "flash_size") { ok = u(1, sc.flash_size);
        } else if (key == "idle_reset_ms") { ok = u(1, sc.idle_reset_ms);
        } else if (key == "handshake_ignore") { ok = u(1, sc.handshake_ignore);
        } else if (key == "handshake_delay_ms") { ok = u(1, sc.handshake_delay_ms);
        } else if (key == "handshake_reply") {
            sc.handshake_custom = true;
            ok = to_bytes(w, 1, sc.handshake_reply);
        } else if (key == "version_missing") {
            sc.version_missing = true;
        } else if (key == "version_reply") {
            sc.version_custom = true;
            ok = to_bytes(w, 1, sc.version_reply);
        } else if (key == "erase_ack") {
            sc.erase_ack_custom = true;
            ok = to_bytes(w, 1, sc.erase_ack_reply);
        } else if (key == "erase_done") {
            sc.erase_done_custom = true;
            ok = to_bytes(w, 1, sc.erase_done_reply);
        } else if (key == "echo_corrupt") {
            ok = u(1, a) && u(2, b) && b < 512;
            sc.echo_corrupt[a] = b;
        } else if (key == "echo_truncate") {
            ok = u(1, a) && u(2, b) && b < 512;
            sc.echo_truncate[a] = b;
        } else if (key == "echo_pause") {
            ok = u(1, a) && u(2, b) && u(3, c) && b < 512;
            sc.echo_pause[a] = {b, c};
        } else if (key == "echo_delay_ms") {
            ok = u(1, a) && u(2, b);
            sc.echo_delay_ms[a] = b;
        } else if (key == "reject") {
            ok = u(1, a) && u(2, b);
            sc.reject[a] = b;
        } else if (key == "reply_missing") {
            ok = u(1, a);
            sc.reply_missing[a] = true;
        } else if (key == "no_device") {
            sc.no_device = true;
        } else if (key == "latency_ms") { ok = u(1, sc.latency_ms);
        } else if (key == "latency_model") {
            ok = n == 2 && (w[1] == "on" || w[1] == "off");
            sc.latency_model = ok && w[1] == "on";
        } else if (key == "latency_call") {
            ok = n == 2 && (w[1] == "on" || w[1] == "off");
            sc.latency_call = ok && w[1] == "on";
        } else if (key == "short_writes") { ok = u(1, sc.short_writes);
        } else if (key == "fail_call") {
            ok = n == 4 && u(2, a) && u(3, b) && a > 0;
            sc.fail_call[w[1]].push_back({a, b});
        } else if (key == "unplug_at_byte") {
            ok = n == 2 && to_u64(w[1], sc.unplug_at_byte) && sc.unplug_at_byte > 0;
        } else if (key == "unplug_at_call") {
            ok = n == 2 && to_u64(w[1], sc.unplug_at_call) && sc.unplug_at_call > 0;
        } else if (key == "transcript") {
            ok = n == 2;
            if (ok) sc.transcript_path = w[1];
        } else if (key == "flash") {
            ok = n == 2;
            if (ok) sc.flash_path = w[1];
        } else {
            error = "line " + std::to_string(number) + ": unknown setting '" + key + "'";
            return false;
        }
        if (!ok) {
            error = "line " + std::to_string(number) + ": cannot read '" + line + "'";
            return false;
        }
    }
    return true;
}

}  // namespace sim
