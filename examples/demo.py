"""The main job on a bundled example: read BED intervals, fetch them all in
one batch, and print them as FASTA (minus-strand intervals reverse-complemented).

Run with `make demo`.
"""
from pathlib import Path

import sekvo

DATA = Path(__file__).parent / "data"


def read_bed(path):
    """(name, 1-based start, end, label, strand) for each BED line."""
    for line in path.read_text().splitlines():
        if not line.strip() or line.startswith(("#", "track", "browser")):
            continue
        chrom, start, end, label, _score, strand = line.split("\t")[:6]
        # BED is 0-based half-open; sekvo takes 1-based inclusive coordinates.
        yield chrom, int(start) + 1, int(end), label, strand


def main():
    fasta_path = DATA / "example.fa"
    index = sekvo.Faidx(str(fasta_path))
    print(f"# {fasta_path.name}: records {', '.join(index.keys)}")

    intervals = list(read_bed(DATA / "example.bed"))
    sequences = index.fetch_many([(name, start, end) for name, start, end, _, _ in intervals])
    for (_, _, _, label, strand), sequence in zip(intervals, sequences):
        if strand == "-":
            sequence = -sequence
        print(f">{label} {sequence.long_name} ({strand})")
        print(sequence.seq)

    whole = index.fetch_entire_sequence("chrM")
    print(f"# chrM: {len(whole)} residues, GC {whole.gc:.3f}, GC of A/C/G/T only {whole.gc_strict:.3f}")


if __name__ == "__main__":
    main()
