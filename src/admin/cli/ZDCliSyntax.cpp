#include "ZDCliSyntax.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ZDCliSyntax {

const QList<Verb> &verbs()
{
    static const QList<Verb> table{
        {u"list"_s, QString(), u"computers found and entered by hand, with their state"_s, {}, {u"--names"_s}, 0},
        {u"call"_s, u"OP [ARG...]"_s, u"run a remote method; arguments are JSON values (other text is a string)"_s, {}, {}, 3},
        {u"add"_s, u"NAME ADDRESS PORT"_s, u"add a manual connection (an IPv4 or IPv6 address, a port from 1 to 65535)"_s, {}, {}, 3},
        {u"remove"_s, u"NAME"_s, u"remove a manual connection"_s, {}, {}, 1},
        {u"errors"_s, QString(), u"the error queue of the last runs"_s, {}, {u"--clear"_s}, 0},
        {u"tasks"_s, QString(), u"the tools of the computers and their tasks, merged"_s, {}, {}, 0},
        {u"run"_s, u"TOOL TASK [OPTION...]"_s, u"run a tool's task (TOOL: bundle identifier or name)"_s, {}, {}, -1},
        {u"crashlogs"_s, u"[remove HOST FILE | explain HOST FILE]"_s,
         u"crash logs of the computers (new ones fetched) with statistics; FILE is a name as listed, explain prints text"_s, {u"remove"_s, u"explain"_s}, {u"--since"_s}, 3},
        {u"enroll-token"_s, u"[MINUTES]"_s, u"a one-time token enrolling this console on agents (KestraClient -enroll)"_s, {}, {}, 1},
        {u"trust"_s, u"HOST [FINGERPRINT]"_s, u"accept the key a computer's agent shows now (after it changed)"_s, {}, {}, 2},
        {u"pair"_s, u"HOST"_s, u"pair with a computer whose root opened a window (KestraClient -pair)"_s, {}, {}, 1},
        {u"plugins"_s, u"[sync | enable NAME | disable NAME | access all|user NAME]"_s,
         u"the plug-ins of the computers merged, or brought into line; NAME or --all names what changes; sync copies "
         "only from --from HOST, and onto computers without the plug-in only with --add-missing"_s,
         {u"sync"_s, u"enable"_s, u"disable"_s, u"access"_s}, {u"--from"_s, u"--all"_s, u"--add-missing"_s}, 3},
        {u"schedules"_s, u"[add TOOL TASK TYPE [VALUE] | remove NAME [HOST...] | enable|disable [NAME [HOST]] | sync]"_s,
         u"scheduled tasks merged across the computers, one row per schedule; sync adds each schedule where it is "
         "missing and never rewrites one; sync and remove ask first (--yes)"_s,
         {u"add"_s, u"remove"_s, u"enable"_s, u"disable"_s, u"sync"_s}, {}, -1},
        {u"apps"_s, u"[open|quit|forcequit ID...]"_s, u"editing applications and the maker's tools: installed, running, version"_s,
         {u"open"_s, u"quit"_s, u"forcequit"_s}, {}, -1},
        {u"clean"_s, u"PRESET|ID..."_s, u"the cleaning tool's tasks (preset 0 or 1, or task identifiers)"_s, {}, {}, -1},
        {u"remove-group"_s, u"GROUP...|preset N"_s, u"the removal tool on component groups (number or title)"_s, {}, {}, -1},
        {u"caches"_s, u"KEY..."_s, u"the cache tool on cache keys, progress per key and computer"_s, {}, {}, -1},
        {u"repair"_s, u"TOOL TASK"_s, u"a repair tool (Ondrel, Ketril, Moravel, Mendo) with rights, its results"_s, {}, {}, 2},
        {u"render"_s, u"[pause|resume|cancel HOST:CLUSTER:JOB... | sharing on|off|reset]"_s,
         u"the computers' render jobs, acted on, or their sharing"_s, {u"pause"_s, u"resume"_s, u"cancel"_s, u"sharing"_s}, {}, -1},
        {u"updates"_s, u"[install [PRODUCT...]]"_s,
         u"software updates merged by product (packages through PackageKit), or installed: one line per computer (packages need --admin)"_s,
         {u"install"_s}, {}, -1},
        {u"sysinfo"_s, QString(), u"each computer's hardware and system summary"_s, {}, {}, 0},
        {u"diff"_s, QString(), u"what all failing computers share and no working one has"_s, {},
         {u"--working"_s, u"--failing"_s}, 0},
        {u"prefs"_s, u"[list | backup NAME [KEY...] | restore HOST:NAME | trash KEY... | lock KEY... | unlock KEY...]"_s,
         u"preference backups, and the kinds of preference files by key"_s,
         {u"list"_s, u"backup"_s, u"restore"_s, u"trash"_s, u"lock"_s, u"unlock"_s}, {}, -1},
        {u"paths"_s, u"[list | set KEY PATH | reset KEY | reset-all | sync]"_s,
         u"application paths per computer, set, reset or copied from --from HOST"_s,
         {u"list"_s, u"set"_s, u"reset"_s, u"reset-all"_s, u"sync"_s}, {u"--from"_s}, 3},
        {u"help"_s, u"[VERB]"_s, u"this text, or one verb's"_s, {}, {u"--man"_s, u"--bash-completion"_s}, 1},
    };
    return table;
}

const QList<Option> &options()
{
    static const QList<Option> table{
        {u"--hosts"_s, u"H,..."_s, u"only these computers (service name, host name with or without .local, or ADDRESS:PORT)"_s},
        {u"--wait"_s, u"SECONDS"_s, u"longest wait for discovery and connecting (list: 3, others: 5), over once every computer "
                                     "known answered or failed and browsing is done: at once when every computer of the last run is found again, "
                                     "else after 1 s (list: the whole wait)"_s},
        {u"--json"_s, QString(), u"answers as JSON"_s},
        {u"--no-browse"_s, QString(), u"only the manual connections"_s},
        {u"--admin"_s, QString(), u"run with administrator rights (asks for credentials)"_s},
        {u"--same-for-all"_s, QString(), u"use the first credentials for every computer"_s},
        {u"--keep-password"_s, QString(), u"keep passwords in the keychain"_s},
        {u"--yes"_s, QString(), u"the answer to a question before a change (needed when not at a terminal)"_s},
        {u"--settings"_s, u"FILE"_s, u"the console's settings file"_s},
        {u"--help"_s, QString(), u"this text, or with a verb the verb's"_s},
        {u"--version"_s, QString(), u"the program's version"_s},
        {u"--names"_s, QString(), u"one computer name a line"_s},
        {u"--clear"_s, QString(), u"empty the error queue"_s},
        {u"--since"_s, u"DATE"_s, u"only crash logs since DATE"_s},
        {u"--from"_s, u"HOST"_s, u"the computer copied from"_s},
        {u"--all"_s, QString(), u"every plug-in (instead of NAME)"_s},
        {u"--add-missing"_s, QString(), u"also copy onto computers that do not have the plug-in"_s},
        {u"--working"_s, u"H,..."_s, u"the computers that work"_s},
        {u"--failing"_s, u"H,..."_s, u"the computers that fail"_s},
        {u"--man"_s, QString(), u"the manual page (roff)"_s},
        {u"--bash-completion"_s, QString(), u"the bash completion script"_s},
    };
    return table;
}

const QStringList &commonOptions()
{
    static const QStringList common{u"--hosts"_s, u"--wait"_s, u"--json"_s, u"--no-browse"_s, u"--admin"_s,
                                    u"--same-for-all"_s, u"--keep-password"_s, u"--yes"_s, u"--settings"_s,
                                    u"--help"_s, u"--version"_s};
    return common;
}

const Verb *verb(const QString &name)
{
    const auto &all = verbs();
    const auto it = std::find_if(all.cbegin(), all.cend(), [&](const Verb &v) { return v.name == name; });
    return it == all.cend() ? nullptr : &*it;
}

const Option *option(const QString &name)
{
    const auto &all = options();
    const auto it = std::find_if(all.cbegin(), all.cend(), [&](const Option &o) { return o.name == name; });
    return it == all.cend() ? nullptr : &*it;
}

Parsed parse(const QStringList &arguments)
{
    Parsed p;
    const auto fail = [&p](const QString &why) {
        if (p.error.isEmpty())
            p.error = why;
    };
    QList<std::pair<QString, QString>> given;
    bool rest = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString a = arguments.at(i);
        // A single dash starts a word (a tool's own option for run), not an option.
        if (rest || (!a.startsWith("--"_L1) && a != "-h"_L1)) {
            if (p.verb.isEmpty() && !rest)
                p.verb = a;
            else
                p.positional << a;
            continue;
        }
        if (a == "--"_L1) {
            rest = true;
            continue;
        }
        if (a == "-h"_L1)
            a = u"--help"_s;
        QString value;
        const qsizetype eq = a.indexOf(u'=');
        const bool inline_ = a.startsWith("--"_L1) && eq > 2;
        if (inline_) {
            value = a.mid(eq + 1);
            a = a.left(eq);
        }
        const Option *o = option(a);
        if (!o) {
            fail(u"unknown option %1"_s.arg(a));
            continue;
        }
        if (o->value.isEmpty()) {
            if (inline_)
                fail(u"%1 takes no value"_s.arg(a));
        } else if (!inline_) {
            // A value never swallows the next option.
            if (i + 1 >= arguments.size() || (arguments.at(i + 1).startsWith("--"_L1) && arguments.at(i + 1).size() > 2)) {
                fail(u"%1 needs a value (%2)"_s.arg(a, o->value));
                continue;
            }
            value = arguments.at(++i);
        }
        given << std::pair{a, value};
    }
    const bool helpOrVersion = std::any_of(given.cbegin(), given.cend(), [](const auto &g) {
        return g.first == "--help"_L1 || g.first == "--version"_L1;
    });
    const Verb *v = verb(p.verb);
    if (!p.verb.isEmpty() && !v)
        fail(u"unknown verb %1"_s.arg(p.verb));
    else if (p.verb.isEmpty() && !helpOrVersion)
        fail(u"no verb"_s);
    for (const auto &[name, value] : given) {
        if (v && !commonOptions().contains(name) && !v->options.contains(name))
            fail(u"%1 does not take %2"_s.arg(p.verb, name));
        else if (!v && !commonOptions().contains(name))
            fail(u"%1 goes with a verb"_s.arg(name));
        if (name == "--hosts"_L1 || name == "--working"_L1 || name == "--failing"_L1)
            p.values[name] = p.values.contains(name) ? p.values[name] + u',' + value : value;
        else
            p.values[name] = value;
    }
    if (v && v->maxArguments >= 0 && p.positional.size() > v->maxArguments && !helpOrVersion)
        fail(u"%1 takes at most %2 word(s) after it; %3 is one too many"_s.arg(p.verb).arg(v->maxArguments)
                 .arg(p.positional.value(v->maxArguments)));
    if (v && !v->subVerbs.isEmpty() && !p.positional.isEmpty() && !v->subVerbs.contains(p.positional.first())) {
        fail(u"%1 has no %2; it takes %3"_s.arg(p.verb, p.positional.first(), v->subVerbs.join(u", "_s)));
    }
    return p;
}

namespace {

QString optionLine(const Option &o)
{
    return o.value.isEmpty() ? o.name : o.name + u' ' + o.value;
}

QString columns(const QString &left, const QString &right)
{
    constexpr int kColumn = 31;
    return left.size() + 2 < kColumn ? u"  "_s + left.leftJustified(kColumn - 2) + right + u'\n'
                                     : u"  "_s + left + u"\n"_s + QString(kColumn, u' ') + right + u'\n';
}

QString roff(QString text)
{
    text.replace(u'\\', u"\\e"_s).replace(u'-', u"\\-"_s);
    if (text.startsWith(u'.') || text.startsWith(u'\''))
        text.prepend(u"\\&"_s);
    return text;
}

} // namespace

QString usage()
{
    QString out = u"usage: kestra VERB [ARGUMENTS] [OPTIONS]\n"_s;
    for (const Verb &v : verbs())
        out += columns(v.arguments.isEmpty() ? v.name : v.name + u' ' + v.arguments, v.summary);
    out += u"options of every verb:\n"_s;
    for (const QString &name : commonOptions())
        out += columns(optionLine(*option(name)), option(name)->help);
    out += u"exit status: 0 all done, 1 some computers failed (named on standard error), 2 usage error\n"_s
           u"kestra help VERB, kestra VERB --help: one verb's arguments and options\n"_s;
    return out;
}

QString verbHelp(const Verb &v)
{
    QString out = u"usage: kestra %1%2 [OPTIONS]\n  %3\n"_s.arg(v.name, v.arguments.isEmpty() ? QString() : u' ' + v.arguments,
                                                              v.summary);
    if (!v.options.isEmpty()) {
        out += u"options of %1:\n"_s.arg(v.name);
        for (const QString &name : v.options)
            out += columns(optionLine(*option(name)), option(name)->help);
    }
    out += u"options of every verb: %1 (kestra help)\n"_s.arg(commonOptions().join(u' '));
    return out;
}

QString seeHelp(const QString &v)
{
    return verb(v) ? u"see kestra help %1"_s.arg(v) : u"see kestra help"_s;
}

QString manPage(const QString &version)
{
    QString out = u".TH KESTRA 1 \"\" \"Kestra %1\" \"User Commands\"\n"_s.arg(version);
    out += u".SH NAME\nkestra \\- maintain studio workstations running the Kestra agent\n"_s
           u".SH SYNOPSIS\n.B kestra\n.I verb\n[\\fIarguments\\fR] [\\fIoptions\\fR]\n"_s
           u".SH DESCRIPTION\n.B kestra\nis the terminal side of the Kestra Admin console. It finds the agents on the "
           u"local network (DNS-SD) and the computers entered by hand, runs maintenance on them and reports "
           u"their results, one line or row per computer.\n"_s
           u"A computer is named by its service name, its host name with or without \\fB.local\\fR, or "
           u"\\fIADDRESS\\fB:\\fIPORT\\fR; a name that matches no computer is an error.\n"_s
           u"An action (a verb that changes the computers) ends with one line per computer: "
           u"\\fIHOST\\fB: done\\fR on standard output, \\fIHOST\\fB: failed: \\fIREASON\\fR on standard error.\n"_s
           u".SH VERBS\n"_s;
    for (const Verb &v : verbs()) {
        out += u".TP\n.B %1"_s.arg(roff(v.name));
        if (!v.arguments.isEmpty())
            out += u" \\fI"_s + roff(v.arguments) + u"\\fR"_s;
        out += u'\n' + roff(v.summary) + u'\n';
        if (!v.options.isEmpty())
            out += u".br\nOptions: "_s + roff(v.options.join(u", "_s)) + u".\n"_s;
    }
    out += u".SH OPTIONS\n"_s;
    for (const Option &o : options()) {
        out += u".TP\n.B %1"_s.arg(roff(o.name));
        if (!o.value.isEmpty())
            out += u" \\fI"_s + roff(o.value) + u"\\fR"_s;
        out += u'\n' + roff(o.help) + u'\n';
    }
    out += u".SH EXIT STATUS\n.TP\n0\nall done\n.TP\n1\nsome computers failed; each is named on standard error\n"_s
           u".TP\n2\na usage error (one line, then where to read more)\n"_s
           u".SH FILES\n.TP\n.I ~/.config/com.zendrel.KestraAdmin.ini\nthe console's settings, shared with the console window "
           u"(manual connections, groups)\n.TP\n.I ~/.local/state/log/Zendrel/kestra.1.log\nthe log of the last run\n"_s
           u".SH ENVIRONMENT\n.TP\n.B XDG_CONFIG_HOME\nwhere the settings are kept\n.TP\n.B XDG_STATE_HOME\nwhere the logs go\n"_s
           u".SH SEE ALSO\n.BR KestraAdmin (1),\n/usr/share/doc/kestra\\-admin/README.md\n"_s;
    return out;
}

QString bashCompletion()
{
    QString verbsWords, subs, opts;
    for (const Verb &v : verbs()) {
        verbsWords += v.name + u' ';
        if (!v.subVerbs.isEmpty())
            subs += u"        %1) words=\"%2\" ;;\n"_s.arg(v.name, v.subVerbs.join(u' '));
        opts += u"        %1) verbopts=\"%2\" ;;\n"_s.arg(v.name, v.options.join(u' '));
    }
    return u"# bash completion for kestra, made by `kestra help --bash-completion`: verbs, sub-verbs, options,\n"_s
           u"# and the computers kestra finds for the words that name one.\n"_s
           u"_kestra()\n{\n    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"_s
           u"    local verb=${COMP_WORDS[1]} words verbopts\n"_s
           u"    if [ \"$COMP_CWORD\" -eq 1 ]; then\n        COMPREPLY=($(compgen -W \""_s + verbsWords.trimmed()
        + u"\" -- \"$cur\"))\n        return\n    fi\n"_s
           u"    case $prev in\n        --hosts|--from|--working|--failing)\n"_s
           u"            COMPREPLY=($(compgen -W \"$(kestra list --names --wait 1 2>/dev/null)\" -- \"${cur##*,}\"))\n"_s
           u"            return ;;\n        --settings) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"_s
           u"        --wait|--since) return ;;\n    esac\n"_s
           u"    case $verb in\n"_s + opts + u"    esac\n"_s
           u"    if [[ $cur == -* ]]; then\n        COMPREPLY=($(compgen -W \"$verbopts "_s + commonOptions().join(u' ')
        + u"\" -- \"$cur\"))\n        return\n    fi\n"_s
           u"    if [ \"$COMP_CWORD\" -eq 2 ]; then\n        case $verb in\n"_s + subs
        + u"        help) words=\""_s + verbsWords.trimmed() + u"\" ;;\n"_s
           u"        trust|pair|crashlogs) words=\"$(kestra list --names --wait 1 2>/dev/null)\" ;;\n        esac\n"_s
           u"    else\n        words=\"$(kestra list --names --wait 1 2>/dev/null)\"\n    fi\n"_s
           u"    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n}\ncomplete -F _kestra kestra\n"_s;
}

} // namespace ZDCliSyntax
