"""The `sekvo` command: FASTA regions and BED intervals at the command line.

    sekvo index FILE
    sekvo faidx FILE [REGION ...]
    sekvo getfasta FILE --bed BED
"""

from importlib import metadata

try:
    __version__ = metadata.version("sekvo")
except metadata.PackageNotFoundError:
    __version__ = "unknown"
