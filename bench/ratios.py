"""Prints one benchmark row from per-round figures of the reference and ours, measured
alternately: each figure's median and the median ratio ours/reference with its range over
the rounds, so that a change of a few hundredths can be told from noise.
Usage: ratios.py LABEL UNIT SCALE REFERENCE_NAME "REF1 REF2 ..." "OURS1 OURS2 ..."
For times (smaller is better) the ratio is still ours/reference."""
import statistics, sys

label, unit, scale, reference = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]
theirs = [float(v) for v in sys.argv[5].split()]
ours = [float(v) for v in sys.argv[6].split()]
ratios = [o / t for o, t in zip(ours, theirs)]
print(f"{label:<24} {reference} {statistics.median(theirs) / scale:.2f} {unit}   "
      f"ours {statistics.median(ours) / scale:.2f} {unit}   "
      f"ratio {statistics.median(ratios):.2f} (range {min(ratios):.2f}-{max(ratios):.2f}, {len(ratios)} rounds)")
