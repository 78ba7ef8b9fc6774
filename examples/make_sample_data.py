#!/usr/bin/python3
# Writes examples/data/roads.csv: a few hundred road segments for the demo,
# the same bytes on every run (fixed seed), with blanks and quoted names.
import csv
import datetime
import pathlib
import random
import sys

ROWS = 320
SEED = 20240611

PLACES = ["Mill", "Church", "Quarry", "Station", "Abbey", "Orchard", "Kiln", "Ferry", "Heath",
          "Beacon", "Willow", "Market", "Tannery", "Chapel", "Brook", "Forge", "Granary", "Moor"]
STREETS = {
    "motorway": ["Motorway"],
    "primary": ["Road", "Street", "Avenue"],
    "secondary": ["Road", "Street", "Way"],
    "residential": ["Lane", "Close", "Crescent", "Gardens", "Terrace"],
    "track": ["Track", "Drove", "Path"],
    "service": ["Yard", "Access"],
}
KIND_WEIGHTS = {"motorway": 2, "primary": 8, "secondary": 12, "residential": 40, "track": 10, "service": 6}
SURFACES = {
    "motorway": ["asphalt", "concrete"],
    "primary": ["asphalt"],
    "secondary": ["asphalt", "asphalt", "concrete"],
    "residential": ["asphalt", "asphalt", "paving_stones", "cobblestone"],
    "track": ["gravel", "dirt", "grass"],
    "service": ["asphalt", "gravel", "concrete"],
}
SECTIONS = ["North Section", "South Section", "East Spur", "West Spur", "Old Alignment"]


def road_name(rng, kind):
    if kind == "motorway":
        return f"M{rng.randint(1, 62)}"
    name = f"{rng.choice(PLACES)} {rng.choice(STREETS[kind])}"
    roll = rng.random()
    if roll < 0.12:
        name += f", {rng.choice(SECTIONS)}"  # a comma: the writer quotes the field
    elif roll < 0.15:
        name = f'The "Old" {name}'  # quotes inside: written doubled
    return name


def length_km(rng, kind):
    upper = {"motorway": 25.0, "primary": 8.0, "secondary": 5.0}.get(kind, 1.5)
    return f"{rng.uniform(0.05, upper):.2f}"


def survey_date(rng):
    day = datetime.date(2015, 1, 1) + datetime.timedelta(days=rng.randrange(0, 9 * 365))
    return day.isoformat()


def rows(rng):
    kinds = list(KIND_WEIGHTS)
    weights = list(KIND_WEIGHTS.values())
    for road_id in range(1, ROWS + 1):
        kind = rng.choices(kinds, weights)[0]
        name = road_name(rng, kind) if rng.random() > 0.05 else ""
        surface = rng.choice(SURFACES[kind]) if rng.random() > 0.08 else ""
        survey = survey_date(rng) if rng.random() > 0.1 else ""
        yield [road_id, name, kind, length_km(rng, kind), surface, survey]


def main():
    default = pathlib.Path(__file__).resolve().parent / "data" / "roads.csv"
    target = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else default
    target.parent.mkdir(parents=True, exist_ok=True)
    with open(target, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["id", "name", "kind", "length_km", "surface", "last_survey"])
        writer.writerows(rows(random.Random(SEED)))


if __name__ == "__main__":
    main()
