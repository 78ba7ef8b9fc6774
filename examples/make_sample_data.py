#!/usr/bin/python3
# Writes examples/data/roads.csv (road segments with blanks and quoted names) and road_lines.csv
# (a line in WKT about as long as each segment): the same bytes on every run (fixed seeds).
import csv
import datetime
import math
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


# A few bends around a random heading, starting somewhere in a 20 km square.
def line(rng, km):
    lon, lat = rng.uniform(-1.60, -1.30), rng.uniform(51.95, 52.15)
    heading = rng.uniform(0, 2 * math.pi)
    points = [(lon, lat)]
    bends = rng.randint(1, 4)
    for _ in range(bends):
        heading += rng.uniform(-0.5, 0.5)
        step = km / bends / 111.32
        lat += step * math.cos(heading)
        lon += step * math.sin(heading) / math.cos(math.radians(lat))
        points.append((lon, lat))
    return "LINESTRING(" + ", ".join(f"{x:.6f} {y:.6f}" for x, y in points) + ")"


def main():
    folder = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent / "data"
    folder.mkdir(parents=True, exist_ok=True)
    roads = list(rows(random.Random(SEED)))
    with open(folder / "roads.csv", "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["id", "name", "kind", "length_km", "surface", "last_survey"])
        writer.writerows(roads)
    shapes = random.Random(SEED + 1)
    with open(folder / "road_lines.csv", "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["id", "wkt"])
        writer.writerows([road[0], line(shapes, float(road[3]))] for road in roads)


if __name__ == "__main__":
    main()
