#include "app/command_line.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstdlib>

namespace strombel::app {
namespace {

QCommandLineOption guiOption() {
    return QCommandLineOption("gui", "The layout: 0 tablet (the default), 1 phone landscape, 2 phone portrait.",
                              "0|1|2", "0");
}

QCommandLineOption rootOption() {
    return QCommandLineOption(
        "root",
        "Keep the library, settings, recordings and exports in DIR (default: $STROMBEL_ROOT, else "
        "$XDG_DATA_HOME/strombel, else ~/.local/share/strombel).",
        "DIR");
}

QCommandLineOption storeURLOption() {
    return QCommandLineOption("store-url",
                              "The sound pack store's address, the folder of its \"ItemsList.json\" (default: "
                              "$STROMBEL_STORE_URL; no store server ships with Strombel).",
                              "URL");
}

QCommandLineOption openUrlOption() {
    return QCommandLineOption("open-url",
                              "Hands URL (a login's answer) to the Strombel running on the same folder and ends; "
                              "with none running, it is refused at once. Goes with no option but --root.",
                              "URL");
}

void describe(QCommandLineParser& parser) {
    parser.setApplicationDescription("Strombel, a sample pad and drum computer.");
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(QCommandLineOption({"h", "help"}, "Shows these options and exits."));
    parser.addOption(guiOption());
    parser.addOption(rootOption());
    parser.addOption(storeURLOption());
    parser.addOption(openUrlOption());
    parser.addPositionalArgument("launch-address",
                                 "The launch address an inter-app audio hub starts Strombel with, of the form "
                                 "strombel.wirehub://... (given alone, with no other argument).",
                                 "[launch-address]");
}

/// Refusals read alike whether Qt's parser or ours made them: lower case, no
/// closing full stop, quoted values in single quotes.
std::string plainRefusal(QString text) {
    text = text.trimmed();
    if (text.endsWith('.')) text.chop(1);
    if (!text.isEmpty()) text[0] = text[0].toLower();
    return text.toStdString();
}

std::string quoted(const QString& value) { return "'" + value.toStdString() + "'"; }

/// The unknown option `name` (as the parser names it, without its dashes) the
/// way the user typed it: "--bogus", "-bogus", "--bogus" of "--bogus=1".
QString asTyped(const QStringList& arguments, const QString& name) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == "--") break;
        if (!argument.startsWith('-')) continue;
        const QString typed = argument.section('=', 0, 0);
        qsizetype dashes = 0;
        while (dashes < typed.size() && typed[dashes] == '-') ++dashes;
        if (typed.mid(dashes) == name) return typed;
    }
    return "--" + name;
}

/// The options that take a value: each may be given once.
constexpr const char* kValueOptions[] = {"gui", "root", "store-url", "open-url"};

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    QCommandLineParser parser;
    describe(parser);
    QStringList list;
    for (const std::string& argument : arguments) list << QString::fromStdString(argument);
    if (list.isEmpty()) list << "strombel";
    if (!parser.parse(list)) {
        const QStringList unknown = parser.unknownOptionNames();
        line.error = unknown.isEmpty() ? plainRefusal(parser.errorText())
                                       : "unknown option " + quoted(asTyped(list, unknown.first()));
        return line;
    }
    if (parser.isSet("help")) {
        line.help = true;
        return line;
    }
    for (const char* option : kValueOptions) {
        const QStringList values = parser.values(option);
        if (values.size() > 1) {
            line.error = std::string("--") + option + " is given more than once (" + quoted(values[0]) + ", then " +
                         quoted(values[1]) + ")";
            return line;
        }
    }
    QStringList positional = parser.positionalArguments();
    // The hub starts the program with its launch address and nothing else: the
    // hub's session decides the rest.
    if (!positional.isEmpty() && positional.first().contains(QStringLiteral(".wirehub://"))) {
        if (list.size() > 2) {
            line.error = "the launch address " + quoted(positional.first()) +
                         " is given alone, with no other argument";
            return line;
        }
        line.launchURL = positional.takeFirst().toStdString();
    }
    if (!positional.isEmpty()) {
        line.error = "unexpected argument " + quoted(positional.first()) + " (options start with --)";
        return line;
    }
    const QString gui = parser.value("gui");
    bool number = false;
    const std::optional<ui::GuiType> guiType = ui::guiTypeFromNumber(gui.toInt(&number));
    if (number && guiType && gui == QString::number(ui::guiTypeNumber(*guiType))) {
        line.guiType = *guiType;
    } else {
        line.error = "--gui takes 0 (tablet), 1 (phone landscape) or 2 (phone portrait), not " + quoted(gui);
        return line;
    }
    if (parser.isSet("root")) {
        const QString root = parser.value("root");
        if (root.isEmpty()) {
            line.error = "--root needs a folder";
            return line;
        }
        line.root = root.toStdString();
    }
    if (parser.isSet("store-url")) {
        const QString url = parser.value("store-url");
        if (!url.startsWith("http://") && !url.startsWith("https://")) {
            line.error = "--store-url takes an http or https address, not " + quoted(url);
            return line;
        }
        line.storeURL = url.toStdString();
    }
    if (parser.isSet("open-url")) {
        const QString url = parser.value("open-url");
        if (url.isEmpty()) {
            line.error = "--open-url needs an address";
            return line;
        }
        // It starts nothing: what would shape a start means nothing beside it.
        for (const char* startOnly : {"gui", "store-url"}) {
            if (parser.isSet(startOnly)) {
                line.error = std::string("--open-url hands its address to a running Strombel and starts none: "
                                         "it takes no --") + startOnly;
                return line;
            }
        }
        line.openUrl = url.toStdString();
    }
    return line;
}

std::string commandLineHelp() {
    QCommandLineParser parser;
    describe(parser);
    std::string text = parser.helpText().replace("<executable_name>", "strombel").toStdString();
    text +=
        "\nEnvironment:\n"
        "  STROMBEL_ROOT    the folder used when --root is not given\n"
        "  STROMBEL_BUNDLE  the folder of the shipped sounds and pictures\n"
        "  STROMBEL_AUDIO   \"null\" plays to a silent device even where there is a sound card\n"
        "  STROMBEL_STORE_URL, STROMBEL_STORE_ICON_URL, STROMBEL_STORE_USER, STROMBEL_STORE_PASSWORD\n"
        "                   the sound pack store's address, its icons' address and its credentials\n";
    return text;
}

std::string missingDisplayProblem() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    // A platform named by the user (offscreen, vnc, ...) is Qt's to judge.
    if (set("QT_QPA_PLATFORM")) return {};
    if (set("DISPLAY") || set("WAYLAND_DISPLAY")) return {};
    return kNoDisplayMessage;
}

std::string unreachableDisplayProblem() {
    const char* display = std::getenv("DISPLAY");
    std::string named = display && *display ? std::string("DISPLAY=") + display : std::string();
    if (named.empty()) {
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if (wayland && *wayland) named = std::string("WAYLAND_DISPLAY=") + wayland;
    }
    if (named.empty()) return kNoDisplayMessage;
    return "the display " + named + " cannot be opened: start its server, set DISPLAY to a display that "
           "answers, or run with QT_QPA_PLATFORM=offscreen";
}

}  // namespace strombel::app
