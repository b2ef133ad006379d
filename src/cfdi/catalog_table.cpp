#include "cfdi/catalog_table.h"

namespace kvn {

std::string_view CatalogRow::key() const noexcept { return table_->FieldAt(index_, table_->keyColumn); }

std::string_view CatalogRow::operator[](std::size_t column) const noexcept { return table_->FieldAt(index_, column); }

std::optional<std::string_view> CatalogRow::Field(std::string_view column) const noexcept {
    const std::optional<std::size_t> at = table_->ColumnIndex(column);
    if (!at) return std::nullopt;
    return (*this)[*at];
}

std::int32_t CatalogRow::validFrom() const noexcept { return table_->validFrom[index_]; }

std::int32_t CatalogRow::validUntil() const noexcept { return table_->validUntil[index_]; }

bool CatalogRow::ValidAt(std::int32_t date) const noexcept {
    if (date == 0) return true;
    const std::int32_t from = validFrom(), until = validUntil();
    return (from == 0 || from <= date) && (until == 0 || date <= until);
}

std::optional<std::size_t> CatalogTable::ColumnIndex(std::string_view column) const noexcept {
    for (std::size_t i = 0; i < columnCount; ++i)
        if (ColumnName(i) == column) return i;
    return std::nullopt;
}

std::uint32_t CatalogTable::FirstRowOf(std::string_view key) const noexcept {
    std::uint32_t lo = 0, hi = rowCount;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (FieldAt(mid, keyColumn) < key) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

CatalogRows CatalogTable::RowsOf(std::string_view key) const noexcept {
    const std::uint32_t first = FirstRowOf(key);
    std::uint32_t lo = first, hi = rowCount;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (FieldAt(mid, keyColumn) == key) lo = mid + 1;
        else hi = mid;
    }
    return CatalogRows(*this, first, lo);
}

std::optional<CatalogRow> CatalogTable::FindValid(std::string_view key, std::int32_t date,
                                                  std::initializer_list<CatalogCriterion> also) const noexcept {
    for (const CatalogCriterion& c : also)
        if (!ColumnIndex(c.column)) return std::nullopt;
    // One key may have thousands of rows (c_Colonia numbers the colonies of each postal
    // code from 0001): walk them from the first and stop at the first that fits.
    for (std::uint32_t r = FirstRowOf(key); r < rowCount && FieldAt(r, keyColumn) == key; ++r) {
        const CatalogRow row(*this, r);
        if (!row.ValidAt(date)) continue;
        bool matches = true;
        for (const CatalogCriterion& c : also) matches = matches && row[*ColumnIndex(c.column)] == c.value;
        if (matches) return row;
    }
    return std::nullopt;
}

}  // namespace kvn
