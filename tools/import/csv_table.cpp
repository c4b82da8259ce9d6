// csv_table.cpp: reads CSV, TSV and ECSV tables, plain or gzip-compressed, through libcsv.
//
// Why libcsv: the quoting rules (delimiters, quotes and line ends inside quoted fields) are
// where hand-written splitters go wrong. libcsv is a small, long-kept streaming C parser: it
// takes the text in blocks of any size and hands over each field and each row end, so a table
// of any length is read in bounded memory, and its allocator can be capped so that one huge
// field cannot take memory without limit.
#include <csv.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tools/import/row_batches.h"
#include "tools/import/table_internal.h"

namespace {

constexpr unsigned BlockBytes = 1u << 20;      // text read and parsed at a time
constexpr std::size_t GrowthBytes = 1u << 16;  // steps in which libcsv grows its field buffer
constexpr double MostReserved = 1e8;           // stars room is made for in advance
constexpr std::size_t BatchRows = 8192;        // rows handed to the converting thread at a time

// libcsv's allocator, refusing to grow a field's buffer past the limit; the parser then stops
// with CSV_ENOMEM, reported as an over-long field.
void* BoundedRealloc(void* old, std::size_t bytes) {
    return bytes > FieldByteLimit ? nullptr : std::realloc(old, bytes);
}

// What stands before the header row: an optional UTF-8 byte-order mark, then '#' lines (the
// metadata of ECSV) and blank lines, all skipped; then the header line, kept whole to choose the
// delimiter from.
struct Prelude {
    bool atStart = true;
    bool inComment = false;
    bool inHeader = false;
    bool done = false;
    char previous = 0;
    std::string header;
};

struct TextReader {
    const TableRequest& request;
    Catalogue& catalogue;
    std::string& error;
    bool failed = false;
    bool haveHeader = false;
    std::vector<std::string> names{};
    std::vector<int> slotOfColumn{};      // per header column: its place among the kept ones, or -1
    std::vector<uint16_t> rolesOfSlot{};  // per kept column: a bit for each role it plays
    RowPipeline* pipeline = nullptr;
    std::size_t fieldCount = 0;    // fields of the current row so far
    int64_t rows = 0;              // data rows so far
    int64_t line = 1;              // the line the current row starts on
    int64_t lineEndsInFields = 0;  // line ends inside the current row's quoted fields
    int previousEnd = 0;           // the character that ended the last row or blank line
};

void Fail(TextReader& reader, const std::string& what) {
    if (!reader.failed) {
        reader.failed = true;
        reader.error = reader.catalogue.source + ":" + std::to_string(reader.line) + ": " + what;
    }
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// Line ends in a field's text: CR LF, CR and LF each count once. Counted as CRs, plus LFs,
// less CR LF pairs, which the compiler turns into wide comparisons.
int64_t CountLineEnds(const char* text, std::size_t length) {
    // Only a quoted field can hold a line end: nearly every field has none, which one early-out
    // scan shows.
    if (std::find_if(text, text + length, IsLineEnd) == text + length) {
        return 0;
    }
    int64_t count = text[0] == '\n';
    for (std::size_t i = 1; i < length; ++i) {
        count += (text[i] == '\n') & (text[i - 1] != '\r');
    }
    return count + std::count(text, text + length, '\r');
}

// A tab if the header line holds one, else a comma if it holds one, else a space (ECSV's).
unsigned char ChooseDelimiter(const std::string& header) {
    if (header.find('\t') != std::string::npos) {
        return CSV_TAB;
    }
    return header.find(',') != std::string::npos ? CSV_COMMA : CSV_SPACE;
}

// Skips what stands before the header line and gathers the header line from [at, end);
// returns where the rest of the text begins once the header line is whole (at its line end).
const char* TakePrelude(Prelude& prelude, TextReader& reader, const char* at, const char* end) {
    if (prelude.atStart && end - at >= 3 && std::memcmp(at, "\xEF\xBB\xBF", 3) == 0) {
        at += 3;
    }
    prelude.atStart = false;
    while (at != end && !prelude.done) {
        if (prelude.inHeader || prelude.inComment) {
            const char* stop = std::find_if(at, end, IsLineEnd);
            prelude.previous = stop != at ? 0 : prelude.previous;  // an LF now ends its own line
            if (prelude.inHeader) {
                prelude.header.append(at, stop);
                prelude.done = stop != end;
            } else {
                prelude.inComment = stop == end;  // a comment's line end is taken below
            }
            at = stop;
            if (prelude.header.size() > FieldByteLimit) {
                Fail(reader, "a header line longer than " + std::to_string(FieldByteLimit) +
                                 " bytes: not a table galaxy-import reads");
                return end;
            }
            continue;
        }
        const char c = *at;
        if (IsLineEnd(c)) {
            reader.line += c == '\r' || prelude.previous != '\r';
            prelude.previous = c;
            ++at;
        } else {
            (c == '#' ? prelude.inComment : prelude.inHeader) = true;
        }
    }
    return at;
}

void TakeHeader(TextReader& reader) {
    std::string message;
    ColumnPlan& plan = reader.catalogue.plan;
    if (!PlanColumns(reader.names, reader.request.overrides, &plan, &message)) {
        Fail(reader, message);
        return;
    }
    reader.slotOfColumn.assign(reader.names.size(), -1);
    for (std::size_t column = 0; column < reader.names.size(); ++column) {
        uint16_t roles = 0;
        for (std::size_t role = 0; role < RoleCount; ++role) {
            roles |= static_cast<uint16_t>(
                plan.column[role] == static_cast<int>(column) ? 1u << role : 0u);
        }
        if (roles != 0) {
            reader.slotOfColumn[column] = static_cast<int>(reader.rolesOfSlot.size());
            reader.rolesOfSlot.push_back(roles);
        }
    }
    reader.haveHeader = true;
}

// Ends a data row in the batch: a short row's missing kept fields are empty.
void FinishRow(TextReader& reader) {
    RowBatch& batch = reader.pipeline->Current();
    const std::size_t kept = reader.rolesOfSlot.size();
    batch.fieldEnds.resize((batch.rows.size() + 1) * kept, batch.text.size());
    batch.rows.push_back({reader.line, reader.fieldCount});
    ++reader.rows;
    if (batch.rows.size() == BatchRows) {
        reader.pipeline->Hand();
    }
}

// Turns a batch's rows into stars, or skips them: runs on the converting thread.
void ConvertBatch(const RowBatch& batch, const TextReader& reader, Catalogue& catalogue) {
    if (batch.reserveStars > catalogue.stars.capacity()) {
        catalogue.stars.reserve(batch.reserveStars);
    }
    const std::size_t kept = reader.rolesOfSlot.size();
    Row row;
    std::size_t start = 0;
    for (std::size_t r = 0; r < batch.rows.size(); ++r) {
        const RowBatch::RowMark& mark = batch.rows[r];
        const std::size_t* ends = &batch.fieldEnds[r * kept];
        if (mark.fieldCount != reader.names.size()) {
            SkipRow(catalogue, mark.line,
                    "has " + std::to_string(mark.fieldCount) + " fields where the header has " +
                        std::to_string(reader.names.size()) + "; row skipped");
            start = ends[kept - 1];
            continue;
        }
        for (std::size_t slot = 0; slot < kept; ++slot) {
            const unsigned roles = reader.rolesOfSlot[slot];
            for (std::size_t role = 0; roles >> role != 0; ++role) {
                if ((roles >> role & 1u) != 0) {
                    ParseField(batch.text.data() + start, ends[slot] - start, &row.fields[role]);
                }
            }
            start = ends[slot];
        }
        row.line = mark.line;
        AddRow(catalogue, row);
    }
}

// libcsv's field callback; text may be null when length is 0.
void OnField(void* data, std::size_t length, void* context) {
    TextReader& reader = *static_cast<TextReader*>(context);
    const char* text = length > 0 ? static_cast<const char*>(data) : "";
    reader.lineEndsInFields += CountLineEnds(text, length);
    if (reader.failed) {
        return;
    }
    if (!reader.haveHeader) {
        if (reader.names.size() == ColumnLimit) {
            Fail(reader, "more than " + std::to_string(ColumnLimit) + " columns in the header");
            return;
        }
        reader.names.emplace_back(text, length);
    } else if (reader.fieldCount < reader.slotOfColumn.size() &&
               reader.slotOfColumn[reader.fieldCount] >= 0) {
        RowBatch& batch = reader.pipeline->Current();
        batch.text.append(text, length);
        batch.fieldEnds.push_back(batch.text.size());
    }
    ++reader.fieldCount;
}

// libcsv's row-end callback: c is the CR or LF that ended the row, or -1 at the end of the text.
// Every unquoted CR and LF ends a row, so a row of no fields is a blank line or the LF of a
// CR LF pair. (libcsv drops the blanks of a line that holds nothing else, so a line of blanks
// ended by an LF right after a line ended by a bare CR counts as part of that line: mixed line
// ends of that kind leave later line numbers one short.)
void OnRowEnd(int c, void* context) {
    TextReader& reader = *static_cast<TextReader*>(context);
    if (reader.fieldCount == 0) {
        reader.line += c != -1 && !(c == '\n' && reader.previousEnd == '\r');
        reader.previousEnd = c;
        return;
    }
    if (!reader.failed) {
        reader.haveHeader ? FinishRow(reader) : TakeHeader(reader);
    }
    reader.line += reader.lineEndsInFields + (c != -1);
    reader.lineEndsInFields = 0;
    reader.fieldCount = 0;
    reader.previousEnd = c;
}

void Parse(csv_parser& parser, TextReader& reader, const char* text, std::size_t length) {
    if (!reader.failed && csv_parse(&parser, text, length, OnField, OnRowEnd, &reader) != length) {
        Fail(reader, csv_error(&parser) == CSV_ENOMEM
                         ? "a field longer than " + std::to_string(FieldByteLimit) +
                               " bytes: not a table galaxy-import reads"
                         : std::string("cannot parse: ") + csv_strerror(csv_error(&parser)));
    }
}

// Hands the whole header line to the parser once the prelude is over.
void StartParsing(csv_parser& parser, TextReader& reader, const Prelude& prelude) {
    csv_set_delim(&parser, ChooseDelimiter(prelude.header));
    Parse(parser, reader, prelude.header.data(), prelude.header.size());
}

// Asks for room for as many stars as the file seems to hold, judged by its first block, so
// that the star list is not copied over and over while it grows.
void ReserveForFile(TextReader& reader, uint64_t fileBytes, std::size_t blockBytes) {
    if (reader.rows > 0 && fileBytes > blockBytes) {
        const double rowsInFile = static_cast<double>(fileBytes) / static_cast<double>(blockBytes) *
                                  static_cast<double>(reader.rows) * 1.05;
        reader.pipeline->Current().reserveStars =
            static_cast<std::size_t>(std::min(rowsInFile, MostReserved));
    }
}

}  // namespace

bool ReadTextTable(gzFile file, uint64_t fileBytes, const TableRequest& request,
                   Catalogue* catalogue, std::string* error) {
    TextReader reader{request, *catalogue, *error};
    RowPipeline pipeline(
        [&reader, catalogue](const RowBatch& batch) { ConvertBatch(batch, reader, *catalogue); },
        request.threads);
    reader.pipeline = &pipeline;
    Prelude prelude;
    csv_parser parser;
    if (csv_init(&parser, CSV_REPALL_NL) != 0) {
        *error = catalogue->source + ": out of memory";
        return false;
    }
    csv_set_realloc_func(&parser, BoundedRealloc);
    csv_set_blk_size(&parser, GrowthBytes);
    std::vector<char> block(BlockBytes);
    int got = 0;
    bool first = true;
    while (!reader.failed && (got = gzread(file, block.data(), BlockBytes)) > 0) {
        const char* at = block.data();
        const char* end = at + got;
        if (!prelude.done) {
            at = TakePrelude(prelude, reader, at, end);
            if (prelude.done) {
                StartParsing(parser, reader, prelude);
            }
        }
        Parse(parser, reader, at, static_cast<std::size_t>(end - at));
        if (first && gzdirect(file) != 0) {
            ReserveForFile(reader, fileBytes, static_cast<std::size_t>(got));
        }
        first = false;
        if (request.progress && fileBytes > 0) {
            request.progress(static_cast<double>(gzoffset(file)) / static_cast<double>(fileBytes));
        }
    }
    if (got < 0 || ReadWasCut(file)) {
        reader.failed = true;
        *error = ReadFailure(file, catalogue->source);
    }
    if (!reader.failed && !prelude.done && prelude.inHeader) {
        StartParsing(parser, reader, prelude);  // a header line without a line end
    }
    if (!reader.failed) {
        csv_fini(&parser, OnField, OnRowEnd, &reader);
    }
    csv_free(&parser);
    pipeline.Finish();
    if (!reader.failed && !reader.haveHeader) {
        *error = catalogue->source + ": no header row naming the columns";
        return false;
    }
    return !reader.failed;
}
