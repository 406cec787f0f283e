#pragma once
// Plain file-system work under the file layer: no logging, no privileges, no
// shell. Symbolic links inside a tree are never followed, so a hostile tree
// cannot lead a copy or a removal outside of itself.
#include <QString>

#include <functional>

class ZDFileTree
{
public:
    ZDFileTree() = delete;

    struct Result
    {
        bool ok = true;
        int error = 0;       // errno, or 0 with a text of its own
        QString path;        // the item the failure concerns
        QString text;        // overrides the errno text when set
        QString description() const;
        static Result failure(int error, const QString &path);
        static Result failure(const QString &text, const QString &path);
    };

    struct Totals
    {
        qint64 bytes = 0;
        qint64 objects = 0;
    };

    // Return false to cancel the copy.
    using Progress = std::function<bool(const Totals &done)>;

    // Something at the path, a dangling link included.
    static bool exists(const QString &path);
    static Totals measure(const QString &path);

    static Result remove(const QString &path);
    // Fails when the destination exists; keeps modes, times and user attributes
    // (and owners when running as root). A failed copy leaves nothing behind.
    static Result copy(const QString &from, const QString &to, const Progress &progress = {});
    // Never replaces the destination. Across file systems: copy, then remove.
    static Result move(const QString &from, const QString &to);

    // Name parts: ".profile" has no extension, "a.tar.gz" has "gz".
    static QString lastComponent(const QString &path);
    static QString extension(const QString &path);
    static QString deletingExtension(const QString &path);
    static QString join(const QString &base, const QString &name);
};
