// frame_list.cpp: parsing galaxy-render's frame list.
#include "tools/frame_list.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace {

int32_t ParseFrameNumber(const std::string& text, const std::string& item) {
    int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || value < 1 ||
        value > LastFrameNumber) {
        throw std::invalid_argument("bad frame \"" + item +
                                    "\": frames are whole numbers from 1 to " +
                                    std::to_string(LastFrameNumber));
    }
    return value;
}

}  // namespace

std::vector<FrameRange> ParseFrameList(const std::string& list) {
    std::vector<FrameRange> ranges;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string item = list.substr(start, comma - start);
        if (item.empty()) {
            throw std::invalid_argument("empty entry in the frame list \"" + list + "\"");
        }
        const size_t dash = item.find('-');
        const int32_t first = ParseFrameNumber(item.substr(0, dash), item);
        const int32_t last =
            dash == std::string::npos ? first : ParseFrameNumber(item.substr(dash + 1), item);
        if (last < first) {
            throw std::invalid_argument("bad frame range \"" + item + "\": it runs backwards");
        }
        ranges.push_back(FrameRange{first, last});
        start = comma + 1;
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const FrameRange& a, const FrameRange& b) { return a.First < b.First; });
    std::vector<FrameRange> merged;
    for (const FrameRange& range : ranges) {
        if (!merged.empty() && int64_t{range.First} <= int64_t{merged.back().Last} + 1) {
            merged.back().Last = std::max(merged.back().Last, range.Last);
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}
