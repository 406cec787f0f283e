#pragma once
// What `kestra` accepts, as one table: the verbs with their sub-verbs, arguments and
// options, and the options every verb takes. The parser, the usage, `kestra help
// VERB`, the manual page and the bash completion are all made from it, so that a new
// verb is one row and none of them can disagree.
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace ZDCliSyntax {

struct Option
{
    QString name;  // "--hosts"
    QString value; // what it takes ("H,..."), empty for a switch
    QString help;
};

struct Verb
{
    QString name;
    QString arguments; // the synopsis after the verb
    QString summary;
    QStringList subVerbs;
    QStringList options; // the options of this verb besides the common ones
    int maxArguments = -1; // words after the verb; -1: the verb checks them itself
};

const QList<Verb> &verbs();
const QList<Option> &options(); // every option; the common ones are marked by commonOptions()
const QStringList &commonOptions();
const Verb *verb(const QString &name);
const Option *option(const QString &name);

struct Parsed
{
    QString verb;
    QStringList positional;
    QMap<QString, QString> values; // option -> value ("" for a switch)
    QString error;                 // set: a usage error, said in one line
};
// Unknown options, options the verb does not take, a value that is missing or is
// itself an option, and words beyond what the verb takes are errors.
Parsed parse(const QStringList &arguments);

QString usage();
QString verbHelp(const Verb &verb);
// "see kestra help VERB" (or "kestra help" without a verb): the line after a usage error.
QString seeHelp(const QString &verb);
QString manPage(const QString &version);
QString bashCompletion();

} // namespace ZDCliSyntax
