"""Reading a command's arguments without importing argparse, which (with the
re, gettext and locale modules it imports) is about a third of the start-up
of a one-shot run.

Each command declares its arguments once, in its add_parser(subparsers),
through the part of argparse's interface that _Declaration records. An argv
made only of exact option spellings, their values and positionals is read
here into the attributes argparse would give; anything else (help, an
unknown or abbreviated option, --option=value, grouped short flags, a value
or positional that begins with '-', a missing value, options that exclude
each other, '--') is left to argparse, built from the same declaration, so
its help, messages and exit statuses stay exactly as they are.
"""

COMMANDS = ("index", "faidx", "getfasta")

# The parts of add_argument() this reader follows; any other makes it leave
# the command to argparse.
_SETTINGS = frozenset(("dest", "metavar", "help", "action", "default", "type", "nargs"))


def command_module(name: str):
    """The module of a command (imported on demand: each imports what it uses)."""
    return __import__(f"{__package__}.{name}_cmd", fromlist=["add_parser"])


class Arguments:
    """A command's arguments as attributes, as argparse.Namespace holds them."""

    def __init__(self, values: dict):
        self.__dict__.update(values)

    def __repr__(self) -> str:
        return "Arguments(" + ", ".join(f"{k}={v!r}" for k, v in vars(self).items()) + ")"


class _Declaration:
    """Stands for the subparsers object and the command's parser: records the
    arguments (with their mutually exclusive group) and the defaults."""

    def __init__(self):
        self.arguments: list[tuple[tuple, dict, int | None]] = []
        self.defaults: dict = {}
        self.groups = 0
        self.unsupported = False

    def add_parser(self, name: str, **settings) -> "_Declaration":
        return self

    def add_argument(self, *names: str, **settings) -> None:
        self.arguments.append((names, settings, None))

    def add_mutually_exclusive_group(self, **settings) -> "_Group":
        self.unsupported |= bool(settings)      # required=True: left to argparse
        self.groups += 1
        return _Group(self, self.groups)

    def set_defaults(self, **defaults) -> None:
        self.defaults.update(defaults)


class _Group:
    def __init__(self, declaration: _Declaration, number: int):
        self.declaration = declaration
        self.number = number

    def add_argument(self, *names: str, **settings) -> None:
        self.declaration.arguments.append((names, settings, self.number))


class _Argument:
    __slots__ = ("dest", "action", "nargs", "type", "default", "group")

    def __init__(self, dest, action, nargs, kind, default, group):
        self.dest, self.action, self.nargs = dest, action, nargs
        self.type, self.default, self.group = kind, default, group


def _option_dest(names: tuple) -> str:
    """argparse's attribute name for an option: its first '--' spelling, else its first."""
    long = [name for name in names if name[1:2] == "-"]
    return (long or names)[0].lstrip("-").replace("-", "_")


def _layout(declaration: _Declaration):
    """(option spelling -> _Argument, positionals in order), or None when the
    declaration uses something this reader does not follow."""
    options: dict[str, _Argument] = {}
    positionals: list[_Argument] = []
    for names, settings, group in declaration.arguments:
        action = settings.get("action", "store")
        nargs, kind, default = settings.get("nargs"), settings.get("type"), settings.get("default")
        if not settings.keys() <= _SETTINGS or action not in ("store", "store_true", "append") \
                or kind not in (None, int) or (kind is not None and isinstance(default, str)):
            return None
        if names[0][:1] == "-":
            if nargs is not None or (action == "store_true" and kind is not None):
                return None
            if action == "store_true" and "default" not in settings:
                default = False
            argument = _Argument(settings.get("dest") or _option_dest(names), action, None, kind, default, group)
            options.update(dict.fromkeys(names, argument))
        else:
            # Only the last positional may take a varying count (then the split is plain).
            if len(names) != 1 or action != "store" or group is not None or "dest" in settings \
                    or nargs not in (None, "?", "*") or (positionals and positionals[-1].nargs is not None):
                return None
            argument = _Argument(names[0], action, nargs, kind, default, None)
            positionals.append(argument)
        if argument.dest in declaration.defaults:
            return None     # set_defaults() of an argument: argparse's precedence rules
    return options, positionals


class _Refused(Exception):
    """The argv is left to argparse."""


def _value(argument: _Argument, text: str):
    if argument.type is None:
        return text
    try:
        return argument.type(text)
    except ValueError:
        raise _Refused from None


def _looks_like_option(text: str) -> bool:
    return text[:1] == "-" and text != "-"


def read_arguments(add_parser, argv: list[str]) -> Arguments | None:
    """The arguments of the command declared by `add_parser`, read from `argv`
    (what follows the command's name), as argparse's parse_intermixed_args
    gives them; None when argparse must read `argv` itself."""
    declaration = _Declaration()
    add_parser(declaration)
    layout = None if declaration.unsupported else _layout(declaration)
    if layout is None:
        return None
    options, positionals = layout
    values = {argument.dest: argument.default for argument in options.values()}
    values.update((dest, value) for dest, value in declaration.defaults.items() if dest not in values)
    chosen: dict[int, _Argument] = {}     # group -> the argument given from it
    strings = []
    try:
        i = 0
        while i < len(argv):
            text = argv[i]
            i += 1
            if not _looks_like_option(text):
                strings.append(text)
                continue
            argument = options.get(text)
            if argument is None:
                return None
            if argument.action == "store_true":
                value = True
            elif i == len(argv) or _looks_like_option(argv[i]):
                return None
            else:
                value = _value(argument, argv[i])
                i += 1
            # As argparse: a value other than the default excludes the group's other arguments.
            if argument.group is not None and value is not argument.default \
                    and chosen.setdefault(argument.group, argument) is not argument:
                return None
            values[argument.dest] = [*(values[argument.dest] or ()), value] \
                if argument.action == "append" else value
        for argument in positionals:
            if argument.nargs is None:
                if not strings:
                    return None
                values[argument.dest] = _value(argument, strings.pop(0))
            elif argument.nargs == "?":
                values[argument.dest] = _value(argument, strings.pop(0)) if strings else argument.default
            elif strings:
                values[argument.dest] = [_value(argument, text) for text in strings]
                strings = []
            elif argument.default is None:
                return None     # a required '*' positional: argparse's error
            else:
                values[argument.dest] = argument.default
    except _Refused:
        return None
    return None if strings else Arguments(values)
