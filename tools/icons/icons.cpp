// orbelune-icons: draws the icons of the pack's programs from their source
// (components/icons/icons.txt) and writes one .ico file per name asked for,
// each with 16, 32 and 48 px images as 32-bit bitmaps and a 256 px image as
// PNG. The same source always gives the same bytes.
//   orbelune-icons SOURCE OUTDIR NAME...
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zlib.h>

static const char ToolName[] = "orbelune-icons";

enum {
    MaxIcons = 16,
    MaxShapes = 24,
    MaxPoints = 12,
    GridCells = 16,
    Supersample = 4,  // samples per pixel along each axis
    ImageCount = 4,
    MaxSide = 256,
};
static const int Sides[ImageCount] = {16, 32, 48, 256};

enum ShapeKind { RoundRect, Circle, Ring, Line, Polygon, Grid };

struct Shape {
    ShapeKind kind;
    unsigned colour;  // 0xRRGGBB
    double v[2 * MaxPoints];
    int points;  // Polygon only
    char cells[GridCells][GridCells + 1];  // Grid only: '#' painted, '.' clear
};

struct Icon {
    char name[64];
    Shape shapes[MaxShapes];
    int shapeCount;
};

static Icon icons[MaxIcons];
static int iconCount;
static unsigned char image[MaxSide * MaxSide * 4];  // BGRA, top row first

static int Fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "%s: error: ", ToolName);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return 1;
}

// Numbers each shape takes before its colour.
static int ParameterCount(ShapeKind kind)
{
    switch (kind) {
    case RoundRect: return 5;   // x0 y0 x1 y1 radius
    case Circle: return 3;      // cx cy r
    case Ring: return 4;        // cx cy r width
    case Line: return 5;        // x0 y0 x1 y1 width
    default: return 0;
    }
}

static bool ShapeKindByName(const char *word, ShapeKind *kind)
{
    static const struct { const char *name; ShapeKind kind; } names[] = {
        {"roundrect", RoundRect}, {"circle", Circle}, {"ring", Ring},
        {"line", Line},           {"polygon", Polygon}, {"grid", Grid},
    };
    for (const auto &n : names) {
        if (!strcmp(word, n.name)) {
            *kind = n.kind;
            return true;
        }
    }
    return false;
}

static bool ReadColour(FILE *file, unsigned *colour)
{
    char word[16];
    char *end;
    if (fscanf(file, "%15s", word) != 1 || strlen(word) != 6)
        return false;
    *colour = static_cast<unsigned>(strtoul(word, &end, 16));
    return *end == 0;
}

// Reads the source: "icon NAME" starts an icon, each shape follows as its
// kind, its numbers and its colour; "#" starts a comment line.
static bool ReadSource(const char *path)
{
    FILE *file = fopen(path, "r");
    if (!file)
        return !Fail("cannot open %s", path);
    char word[64];
    bool ok = true;
    while (ok && fscanf(file, "%63s", word) == 1) {
        if (word[0] == '#') {
            int c;
            while ((c = fgetc(file)) != EOF && c != '\n') {
            }
            continue;
        }
        if (!strcmp(word, "icon")) {
            ok = iconCount < MaxIcons && fscanf(file, "%63s", icons[iconCount].name) == 1;
            iconCount++;
            continue;
        }
        ShapeKind kind;
        Icon *icon = iconCount ? &icons[iconCount - 1] : nullptr;
        if (!icon || !ShapeKindByName(word, &kind) || icon->shapeCount >= MaxShapes) {
            ok = false;
            break;
        }
        Shape *shape = &icon->shapes[icon->shapeCount++];
        shape->kind = kind;
        int numbers = ParameterCount(kind);
        if (kind == Polygon) {
            ok = fscanf(file, "%d", &shape->points) == 1 && shape->points >= 3 && shape->points <= MaxPoints;
            numbers = ok ? 2 * shape->points : 0;
        }
        for (int i = 0; ok && i < numbers; i++)
            ok = fscanf(file, "%lf", &shape->v[i]) == 1;
        ok = ok && ReadColour(file, &shape->colour);
        for (int row = 0; ok && kind == Grid && row < GridCells; row++)
            ok = fscanf(file, "%16s", shape->cells[row]) == 1 && strlen(shape->cells[row]) == GridCells;
    }
    fclose(file);
    if (!ok)
        return !Fail("%s: unreadable shape or icon near \"%s\"", path, word);
    return true;
}

static double SegmentDistance(double px, double py, const double *v)
{
    double dx = v[2] - v[0], dy = v[3] - v[1];
    double t = ((px - v[0]) * dx + (py - v[1]) * dy) / (dx * dx + dy * dy);
    t = t < 0 ? 0 : t > 1 ? 1 : t;
    return hypot(px - (v[0] + t * dx), py - (v[1] + t * dy));
}

// Whether the point (in the unit square, y down) lies inside the shape.
static bool Inside(const Shape &s, double x, double y)
{
    const double *v = s.v;
    switch (s.kind) {
    case RoundRect: {
        double dx = fmax(fmax(v[0] + v[4] - x, x - (v[2] - v[4])), 0);
        double dy = fmax(fmax(v[1] + v[4] - y, y - (v[3] - v[4])), 0);
        return x >= v[0] && x <= v[2] && y >= v[1] && y <= v[3] && dx * dx + dy * dy <= v[4] * v[4];
    }
    case Circle:
        return hypot(x - v[0], y - v[1]) <= v[2];
    case Ring:
        return fabs(hypot(x - v[0], y - v[1]) - v[2]) <= v[3] / 2;
    case Line:
        return SegmentDistance(x, y, v) <= v[4] / 2;
    case Polygon: {
        bool in = false;  // even-odd rule
        for (int i = 0, j = s.points - 1; i < s.points; j = i++) {
            double xi = v[2 * i], yi = v[2 * i + 1], xj = v[2 * j], yj = v[2 * j + 1];
            if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi)
                in = !in;
        }
        return in;
    }
    case Grid: {
        int col = static_cast<int>(x * GridCells), row = static_cast<int>(y * GridCells);
        return col >= 0 && col < GridCells && row >= 0 && row < GridCells && s.cells[row][col] == '#';
    }
    }
    return false;
}

// Paints the icon at side x side pixels into image: every sample takes the
// colour of the last shape that covers it; a pixel is the mean of its samples,
// its alpha the share of covered ones.
static void Render(const Icon &icon, int side)
{
    const int samples = Supersample * Supersample;
    for (int py = 0; py < side; py++) {
        for (int px = 0; px < side; px++) {
            unsigned sum[3] = {0, 0, 0}, covered = 0;
            for (int s = 0; s < samples; s++) {
                double x = (px + (s % Supersample + 0.5) / Supersample) / side;
                double y = (py + (s / Supersample + 0.5) / Supersample) / side;
                int top = -1;
                for (int k = 0; k < icon.shapeCount; k++) {
                    if (Inside(icon.shapes[k], x, y))
                        top = k;
                }
                if (top < 0)
                    continue;
                unsigned c = icon.shapes[top].colour;
                sum[0] += c & 0xFF;
                sum[1] += (c >> 8) & 0xFF;
                sum[2] += (c >> 16) & 0xFF;
                covered++;
            }
            unsigned char *p = &image[(py * side + px) * 4];
            for (int i = 0; i < 3; i++)
                p[i] = covered ? static_cast<unsigned char>((sum[i] + covered / 2) / covered) : 0;
            p[3] = static_cast<unsigned char>((covered * 255 + samples / 2) / samples);
        }
    }
}

// A growing byte block; every append states its length.
struct Bytes {
    unsigned char *data;
    size_t size, capacity;
};

static bool Append(Bytes *b, const void *data, size_t size)
{
    if (b->size + size > b->capacity) {
        size_t capacity = b->capacity ? b->capacity : 4096;
        while (capacity < b->size + size)
            capacity *= 2;
        unsigned char *grown = static_cast<unsigned char *>(realloc(b->data, capacity));
        if (!grown)
            return false;
        b->data = grown;
        b->capacity = capacity;
    }
    memcpy(b->data + b->size, data, size);
    b->size += size;
    return true;
}

static bool AppendLe(Bytes *b, unsigned value, int bytes)
{
    unsigned char v[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                          static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return Append(b, v, bytes);
}

static bool AppendBe32(Bytes *b, unsigned value)
{
    unsigned char v[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                          static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    return Append(b, v, 4);
}

static bool AppendChunk(Bytes *b, const char *type, const unsigned char *data, size_t size)
{
    uLong crc = crc32(0, reinterpret_cast<const Bytef *>(type), 4);
    if (size)
        crc = crc32(crc, data, static_cast<uInt>(size));
    return AppendBe32(b, static_cast<unsigned>(size)) && Append(b, type, 4) && Append(b, data, size) &&
           AppendBe32(b, static_cast<unsigned>(crc));
}

// The image as a PNG: 8-bit RGBA, no filtering, no time or text chunks.
static bool AppendPng(Bytes *b, int side)
{
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header = {}, raw = {};
    bool ok = AppendBe32(&header, side) && AppendBe32(&header, side) && Append(&header, "\x08\x06\0\0\0", 5);
    for (int y = 0; ok && y < side; y++) {
        ok = Append(&raw, "", 1);  // filter type 0
        for (int x = 0; ok && x < side; x++) {
            const unsigned char *p = &image[(y * side + x) * 4];
            unsigned char rgba[4] = {p[2], p[1], p[0], p[3]};
            ok = Append(&raw, rgba, 4);
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size));
    unsigned char *packed = ok ? static_cast<unsigned char *>(malloc(packedSize)) : nullptr;
    ok = packed && compress2(packed, &packedSize, raw.data, static_cast<uLong>(raw.size), 9) == Z_OK;
    ok = ok && Append(b, signature, sizeof(signature)) && AppendChunk(b, "IHDR", header.data, header.size) &&
         AppendChunk(b, "IDAT", packed, packedSize) && AppendChunk(b, "IEND", nullptr, 0);
    free(packed);
    free(raw.data);
    free(header.data);
    return ok;
}

// The image as an icon bitmap: the header with the doubled height, the BGRA
// rows bottom up, then the AND mask (set where fully transparent).
static bool AppendBitmap(Bytes *b, int side)
{
    int maskStride = ((side + 31) / 32) * 4;
    bool ok = AppendLe(b, 40, 4) && AppendLe(b, side, 4) && AppendLe(b, 2 * side, 4) && AppendLe(b, 1, 2) &&
              AppendLe(b, 32, 2) && AppendLe(b, 0, 4) && AppendLe(b, side * side * 4 + maskStride * side, 4);
    for (int i = 0; ok && i < 4; i++)
        ok = AppendLe(b, 0, 4);  // resolution and colour counts
    for (int y = side - 1; ok && y >= 0; y--)
        ok = Append(b, &image[y * side * 4], side * 4);
    for (int y = side - 1; ok && y >= 0; y--) {
        unsigned char row[MaxSide / 8] = {};
        for (int x = 0; x < side; x++) {
            if (image[(y * side + x) * 4 + 3] == 0)
                row[x / 8] |= 0x80 >> (x % 8);
        }
        ok = Append(b, row, maskStride);
    }
    return ok;
}

static bool WriteIcon(const Icon &icon, const char *folder)
{
    Bytes images[ImageCount] = {};
    bool ok = true;
    for (int i = 0; ok && i < ImageCount; i++) {
        Render(icon, Sides[i]);
        ok = Sides[i] == 256 ? AppendPng(&images[i], Sides[i]) : AppendBitmap(&images[i], Sides[i]);
    }
    Bytes file = {};
    ok = ok && AppendLe(&file, 0, 2) && AppendLe(&file, 1, 2) && AppendLe(&file, ImageCount, 2);
    unsigned offset = 6 + 16 * ImageCount;
    for (int i = 0; ok && i < ImageCount; i++) {
        unsigned char side = static_cast<unsigned char>(Sides[i] & 0xFF);  // 256 is stored as 0
        unsigned char entry[4] = {side, side, 0, 0};
        ok = Append(&file, entry, 4) && AppendLe(&file, 1, 2) && AppendLe(&file, 32, 2) &&
             AppendLe(&file, static_cast<unsigned>(images[i].size), 4) && AppendLe(&file, offset, 4);
        offset += static_cast<unsigned>(images[i].size);
    }
    for (int i = 0; ok && i < ImageCount; i++)
        ok = Append(&file, images[i].data, images[i].size);

    char path[1024];
    ok = ok && snprintf(path, sizeof(path), "%s/%s.ico", folder, icon.name) < static_cast<int>(sizeof(path));
    FILE *out = ok ? fopen(path, "wb") : nullptr;
    if (out) {
        ok = fwrite(file.data, 1, file.size, out) == file.size;
        ok = fclose(out) == 0 && ok;
    } else {
        ok = false;
    }
    for (int i = 0; i < ImageCount; i++)
        free(images[i].data);
    free(file.data);
    return ok || !Fail("cannot write the icon %s into %s", icon.name, folder);
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s SOURCE OUTDIR NAME...\n", ToolName);
        return 1;
    }
    if (!ReadSource(argv[1]))
        return 1;
    for (int a = 3; a < argc; a++) {
        const Icon *icon = nullptr;
        for (int i = 0; i < iconCount; i++) {
            if (!strcmp(icons[i].name, argv[a]))
                icon = &icons[i];
        }
        if (!icon)
            return Fail("%s draws no icon named %s", argv[1], argv[a]);
        if (!WriteIcon(*icon, argv[2]))
            return 1;
    }
    return 0;
}
