// fits_table.cpp: reads the first table extension of a FITS file through cfitsio.
#include <fitsio.h>

#include <algorithm>
#include <vector>

#include "tools/import/table_internal.h"

namespace {

constexpr LONGLONG MostRowsAtOnce = 65536;  // rows read per column at a time

// The message for a failed cfitsio call: its status text and the first message it stacked.
std::string FitsFailure(const std::string& source, int status) {
    char text[FLEN_STATUS] = "";
    char detail[FLEN_ERRMSG] = "";
    fits_get_errstatus(status, text);
    const bool hasDetail = fits_read_errmsg(detail) != 0;
    fits_clear_errmsg();
    return source + ": not a readable FITS table: " + text +
           (hasDetail ? std::string(" (") + detail + ")" : "");
}

// Moves to the first ASCII or binary table after the primary array.
bool MoveToFirstTable(fitsfile* fits, int* status) {
    int type = IMAGE_HDU;
    while (*status == 0 && type == IMAGE_HDU) {
        fits_movrel_hdu(fits, 1, &type, status);
    }
    return *status == 0;
}

std::vector<std::string> ColumnNames(fitsfile* fits, int columns, int* status) {
    std::vector<std::string> names;
    for (int column = 1; column <= columns && *status == 0; ++column) {
        char key[FLEN_KEYWORD];
        char value[FLEN_VALUE] = "";
        fits_make_keyn("TTYPE", column, key, status);
        fits_read_key(fits, TSTRING, key, value, nullptr, status);
        if (*status == KEY_NO_EXIST) {
            *status = 0;  // an unnamed column
            fits_clear_errmsg();
        }
        names.emplace_back(value);
    }
    return names;
}

// Whether each column the plan reads holds one number per row.
bool CheckColumnTypes(fitsfile* fits, const Catalogue& catalogue, std::string* error) {
    for (std::size_t role = 0; role < RoleCount; ++role) {
        const int column = catalogue.plan.column[role];
        int type = 0;
        long repeat = 0;
        long width = 0;
        int status = 0;
        if (column < 0) {
            continue;
        }
        if (fits_get_coltype(fits, column + 1, &type, &repeat, &width, &status) != 0) {
            *error = FitsFailure(catalogue.source, status);
            return false;
        }
        if (type == TSTRING || type == TLOGICAL || type == TBIT || type < 0 || repeat != 1) {
            *error = catalogue.source + ": column " + catalogue.plan.name[role] +
                     " does not hold one number per row";
            return false;
        }
    }
    return true;
}

// Reads rows [first, first + count) of every planned column and adds them to the catalogue.
bool ReadRows(fitsfile* fits, Catalogue& catalogue, LONGLONG first, LONGLONG count, int* status) {
    const auto size = static_cast<std::size_t>(count);
    std::vector<double> values[RoleCount];
    std::vector<char> nulls[RoleCount];
    for (std::size_t role = 0; role < RoleCount && *status == 0; ++role) {
        const int column = catalogue.plan.column[role];
        if (column >= 0) {
            int anyNull = 0;
            values[role].resize(size);
            nulls[role].resize(size);
            fits_read_colnull(fits, TDOUBLE, column + 1, first, 1, count, values[role].data(),
                              nulls[role].data(), &anyNull, status);
        }
    }
    Row row;
    for (std::size_t i = 0; i < size && *status == 0; ++i) {
        row.line = first + static_cast<LONGLONG>(i);
        for (std::size_t role = 0; role < RoleCount; ++role) {
            if (!values[role].empty()) {
                // cfitsio marks undefined values, NaN among them, as null.
                row.fields[role].state =
                    nulls[role][i] != 0 ? Field::State::Empty : Field::State::Number;
                row.fields[role].value = values[role][i];
            }
        }
        AddRow(catalogue, row);
    }
    return *status == 0;
}

bool ReadOpenTable(fitsfile* fits, const TableRequest& request, Catalogue& catalogue,
                   std::string* error) {
    int status = 0;
    LONGLONG rows = 0;
    int columns = 0;
    LONGLONG chunk = 0;
    long optimal = 0;
    if (!MoveToFirstTable(fits, &status) || fits_get_num_rowsll(fits, &rows, &status) != 0 ||
        fits_get_num_cols(fits, &columns, &status) != 0 ||
        fits_get_rowsize(fits, &optimal, &status) != 0) {
        *error = FitsFailure(catalogue.source, status);
        return false;
    }
    if (columns > static_cast<int>(ColumnLimit)) {
        *error = catalogue.source + ": more than " + std::to_string(ColumnLimit) + " columns";
        return false;
    }
    const std::vector<std::string> names = ColumnNames(fits, columns, &status);
    std::string message;
    if (status != 0) {
        *error = FitsFailure(catalogue.source, status);
        return false;
    }
    if (!PlanColumns(names, request.overrides, &catalogue.plan, &message)) {
        *error = catalogue.source + ": " + message;
        return false;
    }
    if (!CheckColumnTypes(fits, catalogue, error)) {
        return false;
    }
    chunk = std::clamp<LONGLONG>(optimal, 1, MostRowsAtOnce);
    for (LONGLONG first = 1; first <= rows; first += chunk) {
        if (!ReadRows(fits, catalogue, first, std::min(chunk, rows - first + 1), &status)) {
            *error = FitsFailure(catalogue.source, status);
            return false;
        }
        if (request.progress) {
            request.progress(static_cast<double>(first) / static_cast<double>(rows));
        }
    }
    return true;
}

}  // namespace

bool ReadFitsTable(const std::string& diskPath, const TableRequest& request, Catalogue* catalogue,
                   std::string* error) {
    fitsfile* fits = nullptr;
    int status = 0;
    if (fits_open_diskfile(&fits, diskPath.c_str(), READONLY, &status) != 0) {
        *error = FitsFailure(catalogue->source, status);
        return false;
    }
    const bool read = ReadOpenTable(fits, request, *catalogue, error);
    status = 0;
    fits_close_file(fits, &status);
    fits_clear_errmsg();
    return read;
}
