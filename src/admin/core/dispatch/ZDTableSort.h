#pragma once
// The sort of one of the console's lists, kept in its settings: the list's prefix
// followed by "SortedColumn" (a column identifier) and "SortedDescending". A click
// on the stored column reverses the direction; another column sorts ascending.
// Rows are dictionaries sorted by the column identifier as key: dates and numbers
// by value, text in the user's collation; rows lacking the key go last.
#include <QString>
#include <QVariantList>

class ZDTableSort
{
public:
    // secondColumn: the list's second column, sorted by when nothing is stored.
    ZDTableSort(QString prefix, QString settingsPath, QString secondColumn);

    QString column() const;
    bool descending() const;
    // The header of column id was clicked: the new sort, stored.
    void clickColumn(const QString &id);
    // A view that sorts by itself was sorted by id: kept as it is.
    void store(const QString &id, bool descending);

    QVariantList sorted(const QVariantList &rows) const { return sorted(rows, column(), descending()); }
    static QVariantList sorted(QVariantList rows, const QString &key, bool descending);

private:
    QString key(const char *suffix) const { return m_prefix + QLatin1String(suffix); }

    QString m_prefix;
    QString m_settingsPath;
    QString m_secondColumn;
};
