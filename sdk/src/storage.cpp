// Pixel configuration and non-volatile memories: configuration loading, the pixel mask, flash memories.
//
// Configuration text (the same line grammar under the types "xml" and "yml"; vrexsdk.simulator documents it):
// every line is blank, a comment starting with '#', or one statement of whitespace-separated words:
//
//     dac <id> <int>                     DAC value, within the DAC's limits
//     threshold <id> <keV>               calibrated threshold, within its range
//     raw_threshold <id> <int>           raw threshold, within its raw range
//     mask <x> <y> <width> <height> <flag>   pixels x..x+width-1 (columns) by y..y+height-1 (rows) get flag
//                                        (0..255); the rectangle lies inside the mask
//
// A document is checked whole before anything is applied, so a malformed line changes nothing.
//
// Flash memories span address 0 up to the end of their last sector. Their contents live in the device state
// for the process; a memory whose model names a backing file starts from that file and is written back after
// every successful program, atomically (temporary file in the same directory, fsync, rename), so a crash never
// leaves a torn file. A temporary file a killed writer left behind is removed when the memory is next attached.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "sim.hpp"

using namespace vrexsim;

namespace {

// ---- configuration ----------------------------------------------------------------------------------------------

struct SetDac {
    Bytes id;
    int value;
};
struct SetThreshold {
    Bytes id;
    float kev;
};
struct SetRawThreshold {
    Bytes id;
    int raw;
};
struct SetMaskRegion {
    std::uint64_t x, y, width, height;
    std::uint8_t flag;
};
using Statement = std::variant<SetDac, SetThreshold, SetRawThreshold, SetMaskRegion>;

std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

template <class T>
bool whole_number(std::string_view word, T& out) {
    const char* const end = word.data() + word.size();
    const auto [p, ec] = std::from_chars(word.data(), end, out);
    return ec == std::errc() && p == end;
}

bool real_number(std::string_view word, float& out) {
    double d = 0.0;
    const char* const end = word.data() + word.size();
    const auto [p, ec] = std::from_chars(word.data(), end, d);
    if (ec != std::errc() || p != end || !std::isfinite(d)) return false;
    out = static_cast<float>(d);
    return true;
}

// Parses and checks a whole document against the device; on the first fault returns false with `error` set.
bool parse_configuration(std::string_view text, const DeviceModel& device, std::vector<Statement>& out,
                         std::string& error) {
    std::size_t pos = 0, number = 0;
    while (pos <= text.size()) {
        ++number;
        const std::size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const auto words = words_of(line);
        const std::string at = "Configuration line " + std::to_string(number) + ": ";
        auto bad = [&](const std::string& what) {
            error = at + what;
            return false;
        };
        if (words.empty() || words[0].front() == '#') continue;
        const std::string_view keyword = words[0];
        const auto arity = [&](std::size_t n, const char* form) {
            return words.size() == n + 1 || bad("expected '" + std::string(form) + "'");
        };
        if (keyword == "dac") {
            if (!arity(2, "dac <id> <int>")) return false;
            const Bytes id(words[1]);
            const DacModel* dac = find_named(device.dacs, id.c_str());
            if (!dac) return bad("unknown DAC " + quoted(id.c_str()));
            int value = 0;
            if (!whole_number(words[2], value)) return bad("DAC value '" + std::string(words[2]) + "' is not an integer");
            if (value < dac->min || value > dac->max)
                return bad("value " + std::to_string(value) + " of DAC " + quoted(id.c_str()) + " outside its limits [" +
                           std::to_string(dac->min) + ", " + std::to_string(dac->max) + "]");
            out.emplace_back(SetDac{id, value});
        } else if (keyword == "threshold" || keyword == "raw_threshold") {
            const bool raw = keyword == "raw_threshold";
            if (!arity(2, raw ? "raw_threshold <id> <int>" : "threshold <id> <keV>")) return false;
            const Bytes id(words[1]);
            const ThresholdModel* t = find_named(device.thresholds, id.c_str());
            if (!t) return bad("unknown threshold " + quoted(id.c_str()));
            if (raw) {
                int value = 0;
                if (!whole_number(words[2], value))
                    return bad("raw threshold '" + std::string(words[2]) + "' is not an integer");
                if (value < t->raw_min || value > t->raw_max)
                    return bad("raw threshold " + quoted(id.c_str()) + " value " + std::to_string(value) +
                               " outside its range [" + std::to_string(t->raw_min) + ", " +
                               std::to_string(t->raw_max) + "]");
                out.emplace_back(SetRawThreshold{id, value});
            } else {
                float kev = 0.0f;
                if (!real_number(words[2], kev)) return bad("threshold '" + std::string(words[2]) + "' is not a number");
                if (!(kev >= t->min && kev <= t->max))
                    return bad("threshold " + quoted(id.c_str()) + " value " + std::string(words[2]) +
                               " keV outside its range");
                out.emplace_back(SetThreshold{id, kev});
            }
        } else if (keyword == "mask") {
            if (!arity(5, "mask <x> <y> <width> <height> <flag>")) return false;
            std::uint64_t v[4] = {};
            for (int i = 0; i < 4; ++i)
                if (!whole_number(words[1 + i], v[i]))
                    return bad("mask bound '" + std::string(words[1 + i]) + "' is not a non-negative integer");
            unsigned flag = 0;
            if (!whole_number(words[5], flag) || flag > 255)
                return bad("mask flag '" + std::string(words[5]) + "' is not an integer in [0, 255]");
            const std::uint64_t w = device.pixel_mask.width, h = device.pixel_mask.height;
            // Compared without adding, so huge bounds cannot wrap around.
            if (v[0] > w || v[2] > w - v[0] || v[1] > h || v[3] > h - v[1])
                return bad("mask region " + std::to_string(v[0]) + "," + std::to_string(v[1]) + " of " +
                           std::to_string(v[2]) + "x" + std::to_string(v[3]) + " outside the " + std::to_string(w) +
                           "x" + std::to_string(h) + " mask");
            out.emplace_back(SetMaskRegion{v[0], v[1], v[2], v[3], static_cast<std::uint8_t>(flag)});
        } else {
            return bad("unknown statement '" + std::string(keyword) + "'");
        }
    }
    return true;
}

void apply(const Statement& statement, const DeviceModel& device, DeviceState& state) {
    if (const auto* s = std::get_if<SetDac>(&statement)) state.dacs[s->id] = s->value;
    else if (const auto* s = std::get_if<SetThreshold>(&statement)) state.thresholds[s->id].kev = s->kev;
    else if (const auto* s = std::get_if<SetRawThreshold>(&statement)) state.thresholds[s->id].raw = s->raw;
    else if (const auto* s = std::get_if<SetMaskRegion>(&statement)) {
        // Column x holds `height` consecutive bytes. The stored mask may be shorter than the model's size (it
        // is capped), so the loops stop at its end rather than walk a huge model's columns.
        const std::uint64_t h = device.pixel_mask.height, stored = state.mask.size();
        if (s->height == 0) return;
        for (std::uint64_t x = s->x; x < s->x + s->width && x < stored / h + 1; ++x)
            for (std::uint64_t y = s->y; y < s->y + s->height; ++y) {
                const std::uint64_t at = x * h + y;
                if (at >= stored) return;
                state.mask[static_cast<std::size_t>(at)] = s->flag;
            }
    }
}

// ---- pixel mask -------------------------------------------------------------------------------------------------

// A mask block in the call log: its length (None for a null block).
Arg mask_arg(const pixel_mask* mask) { return mask ? Arg(static_cast<unsigned long long>(mask->data_len)) : Arg(); }
Arg length_arg(const size_t* length) { return length ? Arg(static_cast<unsigned long long>(*length)) : Arg(); }

std::uint64_t mask_pixels(const PixelMaskModel& m) {
    // A product that would overflow is reported as the largest size: no buffer can match it.
    if (m.width != 0 && m.height > UINT64_MAX / m.width) return UINT64_MAX;
    return m.width * m.height;
}

// ---- flash ------------------------------------------------------------------------------------------------------

constexpr std::uint64_t max_flash_size = std::uint64_t{1} << 26;

std::uint64_t flash_size(const FlashModel& f) {
    std::uint64_t end = 0;
    for (const RegionModel& r : f.regions)
        for (const auto& sector : r.sectors) end = std::max<std::uint64_t>(end, std::uint64_t{sector.second} + 1);
    return std::min(end, max_flash_size);
}

std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%08llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string os_error(const std::string& what, const Bytes& path) {
    return what + " '" + path + "': " + std::strerror(errno);
}

bool write_all(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const ssize_t done = ::write(fd, data, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

// Writes `contents` with `patch` placed at `at` (without building the patched copy) to `path`, atomically: a
// temporary file in the same directory is written and synced, then renamed over the old file, and the directory
// is synced so the rename itself survives a crash. On failure returns false with `error` set; the old file is
// left as it was.
//
// The temporary file is locked while it is written: the lock goes with the process, so a temporary file nobody
// holds locked was left by a writer that died, and remove_leftovers may take it away.
constexpr char temp_suffix[] = ".tmp.XXXXXX";

bool persist(const Bytes& path, const std::vector<std::uint8_t>& contents, std::size_t at, const std::uint8_t* patch,
             std::size_t n, std::string& error) {
    std::string temp = path + temp_suffix;
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = os_error("Cannot create a temporary file beside", path);
        return false;
    }
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    const bool written = write_all(fd, contents.data(), at) && write_all(fd, patch, n) &&
                         write_all(fd, contents.data() + at + n, contents.size() - at - n) && ::fsync(fd) == 0;
    if (!written) error = os_error("Cannot write the backing file", path);
    if (::close(fd) != 0 && written) error = os_error("Cannot write the backing file", path);
    if (!error.empty() || ::rename(temp.c_str(), path.c_str()) != 0) {
        if (error.empty()) error = os_error("Cannot replace the backing file", path);
        ::unlink(temp.c_str());
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

// The memory named `flashId` of the open device, its contents, or a failure status with the last error set.
struct Memory {
    const FlashModel* model = nullptr;
    std::vector<std::uint8_t>* contents = nullptr;
};

int find_memory(vrex_ctx_t* ctx, const OpenDevice& dev, const char* flashId, Memory& out) {
    out.model = find_named(dev.model->flash, flashId);
    if (!out.model) return unknown(ctx, "non-volatile memory", flashId);
    out.contents = &dev.state->flash[out.model->id];
    return 0;
}

const RegionModel* find_region(vrex_ctx_t* ctx, const FlashModel& f, int regionIdx) {
    if (regionIdx < 0 || static_cast<std::size_t>(regionIdx) >= f.regions.size()) {
        fail_with(ctx->error, -3, "Region index " + std::to_string(regionIdx) + " out of range for memory " +
                                      quoted(f.id.c_str()) + " (" + std::to_string(f.regions.size()) + " regions)");
        return nullptr;
    }
    return &f.regions[static_cast<std::size_t>(regionIdx)];
}

// Checks a transfer of *length bytes at `address` against the memory; 0 when it lies inside.
int check_range(vrex_ctx_t* ctx, const Memory& m, std::uint32_t address, const void* data, const size_t* length) {
    if (length == nullptr) return fail_with(ctx->error, -5, "Null length");
    if (data == nullptr && *length != 0) return fail_with(ctx->error, -5, "Null data buffer");
    const std::uint64_t size = m.contents->size();
    // In 64 bits a 32-bit address plus a size_t length is compared without wrapping.
    if (address > size || *length > size - address)
        return fail_with(ctx->error, -3,
                         "Range " + hex(address) + ".." + hex(std::uint64_t{address} + *length) + " (" +
                             std::to_string(*length) + " bytes) outside memory " + quoted(m.model->id.c_str()) +
                             " (" + hex(0) + ".." + hex(size) + ")");
    return 0;
}

// Removes the temporary files persist() made for `path` whose writer is gone (killed before its rename): each
// can be as large as the memory, and nothing else would ever remove them. One still locked is being written by a
// live process and stays.
void remove_leftovers(const Bytes& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
    const std::size_t name_length = prefix.size() + 6;  // mkstemp's six replaced characters
    DIR* const folder = ::opendir(dir.c_str());
    if (folder == nullptr) return;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name(entry->d_name);
        if (name.size() != name_length || !name.starts_with(prefix)) continue;
        const std::string leftover = dir + "/" + std::string(name);
        const int fd = ::open(leftover.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(leftover.c_str());
        ::close(fd);
    }
    ::closedir(folder);
}

}  // namespace

namespace vrexsim {

// Contents of a memory as a device starts with it: its backing file when it has one that can be read (a file
// shorter than the memory is padded, a longer one cut), else erased flash, all 0xFF.
std::vector<std::uint8_t> initial_flash(const FlashModel& f) {
    std::vector<std::uint8_t> contents(static_cast<std::size_t>(flash_size(f)), 0xFF);
    if (f.backing_file.empty()) return contents;
    remove_leftovers(f.backing_file);
    const int fd = ::open(f.backing_file.c_str(), O_RDONLY);
    if (fd < 0) return contents;
    std::size_t filled = 0;
    while (filled < contents.size()) {
        const ssize_t got = ::read(fd, contents.data() + filled, contents.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return contents;
}

}  // namespace vrexsim

extern "C" {

int vrex_load_configuration(vrex_ctx_t* ctx, const char* configType, const char* content) {
    return on_device(ctx, hook("vrex_load_configuration", configType, content), [&](const OpenDevice& dev) {
        if (configType == nullptr || content == nullptr) return fail_with(ctx->error, -5, "Null configuration text");
        const std::string_view type(configType);
        if (type != "xml" && type != "yml")
            return fail_with(ctx->error, -3,
                             "Unknown configuration type " + quoted(configType) + " (expected 'xml' or 'yml')");
        std::vector<Statement> statements;
        std::string error;
        if (!parse_configuration(content, *dev.model, statements, error)) return fail_with(ctx->error, -3, error);
        for (const Statement& s : statements) apply(s, *dev.model, *dev.state);
        dev.state->configurations.emplace_back(configType, content);
        return 0;
    });
}

int vrex_get_pixel_mask_size(vrex_ctx_t* ctx, pixel_mask_size* size) {
    return on_device(ctx, hook("vrex_get_pixel_mask_size"), [&](const OpenDevice& dev) {
        if (size == nullptr) return null_out(ctx);
        size->width = static_cast<size_t>(dev.model->pixel_mask.width);
        size->height = static_cast<size_t>(dev.model->pixel_mask.height);
        return 0;
    });
}

int vrex_get_pixel_mask(vrex_ctx_t* ctx, pixel_mask* mask, size_t* retrieved) {
    return on_device(ctx, hook("vrex_get_pixel_mask", mask_arg(mask)), [&](const OpenDevice& dev) {
        if (mask == nullptr || retrieved == nullptr) return null_out(ctx);
        const std::vector<std::uint8_t>& stored = dev.state->mask;
        if (mask->data == nullptr && mask->data_len != 0) return fail_with(ctx->error, -5, "Null mask buffer");
        if (mask->data_len < stored.size())
            return fail_with(ctx->error, -3,
                             "Pixel mask buffer of " + std::to_string(mask->data_len) + " bytes is smaller than the " +
                                 std::to_string(stored.size()) + "-byte mask");
        if (!stored.empty()) std::memcpy(mask->data, stored.data(), stored.size());
        const PixelMaskModel& m = dev.model->pixel_mask;
        *retrieved = static_cast<size_t>(m.reported_length ? *m.reported_length : mask_pixels(m));
        return 0;
    });
}

int vrex_set_pixel_mask(vrex_ctx_t* ctx, const pixel_mask* mask) {
    return on_device(ctx, hook("vrex_set_pixel_mask", mask_arg(mask)), [&](const OpenDevice& dev) {
        if (mask == nullptr) return fail_with(ctx->error, -5, "Null pixel mask");
        if (mask->data == nullptr && mask->data_len != 0) return fail_with(ctx->error, -5, "Null mask buffer");
        const PixelMaskModel& m = dev.model->pixel_mask;
        if (mask->data_len != mask_pixels(m))
            return fail_with(ctx->error, -3,
                             "Pixel mask of " + std::to_string(mask->data_len) + " bytes does not fit the " +
                                 std::to_string(m.width) + "x" + std::to_string(m.height) + " mask");
        std::vector<std::uint8_t>& stored = dev.state->mask;
        if (!stored.empty()) std::memcpy(stored.data(), mask->data, std::min<std::size_t>(stored.size(), mask->data_len));
        return 0;
    });
}

int vrex_flash_count(vrex_ctx_t* ctx, int* count) {
    return on_device(ctx, hook("vrex_flash_count"),
                     [&](const OpenDevice& dev) { return count_out(ctx, count, dev.model->flash.size()); });
}

int vrex_flash_id(vrex_ctx_t* ctx, int index, const char** id) {
    return on_device(ctx, hook("vrex_flash_id", index), [&](const OpenDevice& dev) {
        return id_out(ctx, dev.model->flash, index, id, "Non-volatile memory", id_of<FlashModel>);
    });
}

int vrex_flash_part_nr(vrex_ctx_t* ctx, const char* flashId, const char** partNumber) {
    return on_device(ctx, hook("vrex_flash_part_nr", flashId), [&](const OpenDevice& dev) {
        if (partNumber == nullptr) return null_out(ctx);
        Memory m;
        if (const int status = find_memory(ctx, dev, flashId, m)) return status;
        *partNumber = m.model->part_number.c_str();
        return 0;
    });
}

int vrex_flash_regions(vrex_ctx_t* ctx, const char* flashId, int* count) {
    return on_device(ctx, hook("vrex_flash_regions", flashId), [&](const OpenDevice& dev) {
        Memory m;
        if (const int status = find_memory(ctx, dev, flashId, m)) return status;
        return count_out(ctx, count, m.model->regions.size());
    });
}

int vrex_flash_sector_count(vrex_ctx_t* ctx, const char* flashId, int regionIdx, int* count) {
    return on_device(ctx, hook("vrex_flash_sector_count", flashId, regionIdx), [&](const OpenDevice& dev) {
        Memory m;
        if (const int status = find_memory(ctx, dev, flashId, m)) return status;
        const RegionModel* region = find_region(ctx, *m.model, regionIdx);
        if (!region) return -3;
        return count_out(ctx, count, region->sectors.size());
    });
}

int vrex_flash_sector_size(vrex_ctx_t* ctx, const char* flashId, int regionIdx, int* size) {
    return on_device(ctx, hook("vrex_flash_sector_size", flashId, regionIdx), [&](const OpenDevice& dev) {
        if (size == nullptr) return null_out(ctx);
        Memory m;
        if (const int status = find_memory(ctx, dev, flashId, m)) return status;
        const RegionModel* region = find_region(ctx, *m.model, regionIdx);
        if (!region) return -3;
        *size = region->sector_size;
        return 0;
    });
}

int vrex_flash_sector_address_range(vrex_ctx_t* ctx, const char* flashId, int sectorIdx, uint32_t* start,
                                    uint32_t* end) {
    return on_device(ctx, hook("vrex_flash_sector_address_range", flashId, sectorIdx), [&](const OpenDevice& dev) {
        if (start == nullptr || end == nullptr) return null_out(ctx);
        Memory m;
        if (const int status = find_memory(ctx, dev, flashId, m)) return status;
        // Sectors are numbered over the whole memory, region after region.
        std::size_t total = 0;
        if (sectorIdx >= 0)
            for (const RegionModel& r : m.model->regions) {
                const auto i = static_cast<std::size_t>(sectorIdx);
                if (i < total + r.sectors.size()) {
                    *start = r.sectors[i - total].first;
                    *end = r.sectors[i - total].second;
                    return 0;
                }
                total += r.sectors.size();
            }
        else
            for (const RegionModel& r : m.model->regions) total += r.sectors.size();
        return fail_with(ctx->error, -3, "Sector index " + std::to_string(sectorIdx) + " out of range for memory " +
                                             quoted(flashId) + " (" + std::to_string(total) + " sectors)");
    });
}

int vrex_flash_read(vrex_ctx_t* ctx, const char* flashId, uint32_t address, void* data, size_t* length) {
    return on_device(ctx, hook("vrex_flash_read", flashId, address, length_arg(length)), [&](const OpenDevice& dev) {
        Memory m;
        if (const int status = find_memory(ctx, dev, flashId, m)) return status;
        if (const int status = check_range(ctx, m, address, data, length)) return status;
        if (*length != 0) std::memcpy(data, m.contents->data() + address, *length);
        return 0;
    });
}

int vrex_flash_program(vrex_ctx_t* ctx, const char* flashId, uint32_t address, const void* data, size_t* length) {
    return on_device(ctx, hook("vrex_flash_program", flashId, address, length_arg(length)), [&](const OpenDevice& dev) {
        Memory m;
        if (const int status = find_memory(ctx, dev, flashId, m)) return status;
        if (const int status = check_range(ctx, m, address, data, length)) return status;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        // The file is replaced first: when that fails, neither the file nor the memory has changed.
        std::string error;
        if (!m.model->backing_file.empty() &&
            !persist(m.model->backing_file, *m.contents, address, bytes, *length, error))
            return fail_with(ctx->error, -1, error);
        if (*length != 0) std::memcpy(m.contents->data() + address, bytes, *length);
        return 0;
    });
}

}  // extern "C"
