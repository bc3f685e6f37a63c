"""Nearest standard ratio of a few common image sizes, with carvola.brennic."""

from carvola.brennic import ImageTool

SIZES = [(1920, 1080), (1080, 1920), (1024, 1024), (1000, 800), (2560, 1080), (3000, 2000), (9, 8)]


def main():
    tool = ImageTool()
    print(f"{'size':>11}  nearest standard ratio")
    for width, height in SIZES:
        print(f"{width:>5} x {height:<4} {tool._get_closest_standard_ratio(width, height)}")
    print("\nratio strings:", ", ".join(f"{text!r} -> {ImageTool._parse_ratio(text)}" for text in ("16:9", " 3:4 ")))


if __name__ == "__main__":
    main()
