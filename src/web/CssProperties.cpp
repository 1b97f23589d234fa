#include "web/CssProperties.h"

#include "web/Chars.h"

#include <QHash>

#include <algorithm>

namespace css {
namespace {

enum Slot {
    BackgroundImage = 1,
    ListStyleImage,
    BorderImageSource,
    WebkitBorderImage,
    MaskImage,
    MaskBoxImage,
    Content,
    Cursor,
    Filter,
    BackdropFilter,
    ClipPath,
    MarkerStart,
    MarkerMid,
    MarkerEnd,
    ShapeOutside,
    BoxReflect,
};

using chars::isOneOf;

bool is(QByteArrayView text, const char* ascii) {
    return chars::equalsIgnoringCase(text, ascii);
}

// One component value: a token, or a function or block with the tokens up to its closer.
struct Component {
    const Token* token;
    size_t begin; // the token's index
    size_t end;   // past its closer (or the value's end when unclosed)
};

bool opens(Tok type) {
    return type == Tok::Function || type == Tok::LParen || type == Tok::LBracket || type == Tok::LBrace;
}

Tok closer(Tok type) {
    return type == Tok::LBracket ? Tok::RBracket : type == Tok::LBrace ? Tok::RBrace : Tok::RParen;
}

// The top-level components of [begin, end), whitespace left out, split at top-level commas.
struct Layers {
    std::vector<std::vector<Component>> layers{1};
};

Layers splitLayers(const std::vector<Token>& value, size_t begin, size_t end) {
    Layers result;
    for (size_t i = begin; i < end;) {
        const Token& token = value[i];
        if (token.type == Tok::Whitespace) {
            ++i;
            continue;
        }
        if (token.type == Tok::Comma) {
            result.layers.emplace_back();
            ++i;
            continue;
        }
        size_t j = i + 1;
        if (opens(token.type)) {
            std::vector<Tok> closers{closer(token.type)};
            while (j < end && !closers.empty()) {
                if (value[j].type == closers.back())
                    closers.pop_back();
                else if (opens(value[j].type))
                    closers.push_back(closer(value[j].type));
                ++j;
            }
        }
        result.layers.back().push_back({&token, i, j});
        i = j;
    }
    return result;
}

bool isFunction(const Component& c, std::initializer_list<const char*> names) {
    return c.token->type == Tok::Function && isOneOf(c.token->text, names);
}

bool isIdent(const Component& c, std::initializer_list<const char*> words) {
    return c.token->type == Tok::Ident && isOneOf(c.token->text, words);
}

bool isDelim(const Component& c, char d) {
    return c.token->type == Tok::Delim && c.token->text.size() == 1 && c.token->text[0] == d;
}

bool isMathFunction(const Component& c) {
    return isFunction(c, {"calc", "-webkit-calc", "min", "max", "clamp", "env"});
}

bool isLengthUnit(const QByteArray& unit) {
    return isOneOf(unit, {"px",  "em",    "rem",   "ex",  "ch",  "vw",  "vh",  "vmin", "vmax", "cm",
                          "mm",  "in",    "pt",    "pc",  "q",   "cap", "ic",  "lh",   "rlh",  "vi",
                          "vb",  "svw",   "svh",   "lvw", "lvh", "dvw", "dvh", "cqw",  "cqh",  "cqi",
                          "cqb", "cqmin", "cqmax", "rex", "rch", "ric", "rcap"});
}

bool isLength(const Component& c) {
    const Token& t = *c.token;
    if (t.type == Tok::Dimension)
        return isLengthUnit(t.text);
    if (t.type == Tok::Number)
        return t.number == 0;
    return isMathFunction(c);
}

bool isLengthOrPercentage(const Component& c) {
    return isLength(c) || c.token->type == Tok::Percentage;
}

bool isNumberLike(const Component& c) {
    return c.token->type == Tok::Number || isMathFunction(c);
}

bool isImageFunction(const Component& c) {
    return isFunction(c, {"url", "image-set", "-webkit-image-set", "linear-gradient", "radial-gradient",
                          "conic-gradient", "repeating-linear-gradient", "repeating-radial-gradient",
                          "repeating-conic-gradient", "-webkit-linear-gradient", "-webkit-radial-gradient",
                          "-webkit-repeating-linear-gradient", "-webkit-repeating-radial-gradient",
                          "-webkit-gradient", "cross-fade", "-webkit-cross-fade", "paint", "light-dark"});
}

// The standard gradients take "to <side>" where the old prefixed ones took a bare side; a bare
// side in linear-gradient() does not parse.
bool gradientArgumentsParse(const std::vector<Token>& value, const Component& c) {
    if (!isFunction(c, {"linear-gradient", "repeating-linear-gradient"}))
        return true;
    size_t i = c.begin + 1;
    while (i < c.end && value[i].type == Tok::Whitespace)
        ++i;
    if (i < c.end && value[i].type == Tok::Ident &&
        isOneOf(value[i].text, {"top", "bottom", "left", "right"}))
        return false;
    return true;
}

bool isImage(const std::vector<Token>& value, const Component& c) {
    if (c.token->type == Tok::Url)
        return true;
    return isImageFunction(c) && gradientArgumentsParse(value, c);
}

bool isHexColor(const QByteArray& hex) {
    if (hex.size() != 3 && hex.size() != 4 && hex.size() != 6 && hex.size() != 8)
        return false;
    return std::all_of(hex.begin(), hex.end(), [](char ch) { return chars::isAsciiHexDigit(ch); });
}

bool isNamedColor(const QByteArray& name) {
    static const char* const names[] = {
        "aliceblue", "antiquewhite", "aqua", "aquamarine", "azure", "beige", "bisque", "black",
        "blanchedalmond", "blue", "blueviolet", "brown", "burlywood", "cadetblue", "chartreuse", "chocolate",
        "coral", "cornflowerblue", "cornsilk", "crimson", "cyan", "darkblue", "darkcyan", "darkgoldenrod",
        "darkgray", "darkgreen", "darkgrey", "darkkhaki", "darkmagenta", "darkolivegreen", "darkorange",
        "darkorchid", "darkred", "darksalmon", "darkseagreen", "darkslateblue", "darkslategray",
        "darkslategrey", "darkturquoise", "darkviolet", "deeppink", "deepskyblue", "dimgray", "dimgrey",
        "dodgerblue", "firebrick", "floralwhite", "forestgreen", "fuchsia", "gainsboro", "ghostwhite", "gold",
        "goldenrod", "gray", "green", "greenyellow", "grey", "honeydew", "hotpink", "indianred", "indigo",
        "ivory", "khaki", "lavender", "lavenderblush", "lawngreen", "lemonchiffon", "lightblue", "lightcoral",
        "lightcyan", "lightgoldenrodyellow", "lightgray", "lightgreen", "lightgrey", "lightpink",
        "lightsalmon", "lightseagreen", "lightskyblue", "lightslategray", "lightslategrey", "lightsteelblue",
        "lightyellow", "lime", "limegreen", "linen", "magenta", "maroon", "mediumaquamarine", "mediumblue",
        "mediumorchid", "mediumpurple", "mediumseagreen", "mediumslateblue", "mediumspringgreen",
        "mediumturquoise", "mediumvioletred", "midnightblue", "mintcream", "mistyrose", "moccasin",
        "navajowhite", "navy", "oldlace", "olive", "olivedrab", "orange", "orangered", "orchid",
        "palegoldenrod", "palegreen", "paleturquoise", "palevioletred", "papayawhip", "peachpuff", "peru",
        "pink", "plum", "powderblue", "purple", "rebeccapurple", "red", "rosybrown", "royalblue",
        "saddlebrown", "salmon", "sandybrown", "seagreen", "seashell", "sienna", "silver", "skyblue",
        "slateblue", "slategray", "slategrey", "snow", "springgreen", "steelblue", "tan", "teal", "thistle",
        "tomato", "turquoise", "violet", "wheat", "white", "whitesmoke", "yellow", "yellowgreen",
        "transparent", "currentcolor",
        // System colours.
        "accentcolor", "accentcolortext", "activetext", "buttonborder", "buttonface", "buttontext", "canvas",
        "canvastext", "field", "fieldtext", "graytext", "highlight", "highlighttext", "linktext", "mark",
        "marktext", "selecteditem", "selecteditemtext", "visitedtext", "activeborder", "activecaption",
        "appworkspace", "background", "buttonhighlight", "buttonshadow", "captiontext", "inactiveborder",
        "inactivecaption", "inactivecaptiontext", "infobackground", "infotext", "menu", "menutext",
        "scrollbar", "threeddarkshadow", "threedface", "threedhighlight", "threedlightshadow", "threedshadow",
        "window", "windowframe", "windowtext", "-webkit-link", "-webkit-focus-ring-color",
        "-webkit-activelink", "-webkit-text"};
    for (const char* known : names)
        if (is(name, known))
            return true;
    return false;
}

bool isColor(const Component& c) {
    const Token& t = *c.token;
    if (t.type == Tok::Hash)
        return isHexColor(t.text);
    if (t.type == Tok::Ident)
        return isNamedColor(t.text);
    return isFunction(c, {"rgb", "rgba", "hsl", "hsla", "hwb", "lab", "lch", "oklab", "oklch", "color",
                          "color-mix", "light-dark", "contrast-color"});
}

bool isPositionComponent(const Component& c) {
    return isLengthOrPercentage(c) || isIdent(c, {"left", "right", "top", "bottom", "center"});
}

// One layer of "background" or "mask": an image, a position with an optional "/ size", repeat,
// attachment, boxes; a colour in the last background layer only.
bool layerParses(const std::vector<Token>& value, const std::vector<Component>& layer, bool last, bool mask,
                 QList<QByteArray>& urls) {
    if (layer.empty())
        return false;
    int images = 0, colors = 0, attachments = 0, repeats = 0, boxes = 0, positions = 0, extras = 0;
    bool positionDone = false;
    for (size_t i = 0; i < layer.size(); ++i) {
        const Component& c = layer[i];
        const bool inPosition = isPositionComponent(c);
        if (positions > 0 && !inPosition)
            positionDone = true;
        if (isIdent(c, {"none"})) {
            ++images;
        } else if (isImage(value, c)) {
            ++images;
            urls += valueUrls(value, c.begin, c.end);
        } else if (inPosition) {
            if (positionDone || ++positions > 4)
                return false;
        } else if (isDelim(c, '/')) {
            // "/ size": one or two sizes, right after a position.
            if (positions == 0)
                return false;
            int sizes = 0;
            while (i + 1 < layer.size() && (isLengthOrPercentage(layer[i + 1]) ||
                                            isIdent(layer[i + 1], {"auto", "cover", "contain"}))) {
                ++i;
                ++sizes;
            }
            if (sizes == 0 || sizes > 2)
                return false;
            positionDone = true;
        } else if (isIdent(c, {"repeat-x", "repeat-y", "repeat", "space", "round", "no-repeat"})) {
            if (++repeats > 2)
                return false;
        } else if (!mask && isIdent(c, {"scroll", "fixed", "local"})) {
            if (++attachments > 1)
                return false;
        } else if (isIdent(c, {"border-box", "padding-box", "content-box", "text", "-webkit-text"}) ||
                   (mask && isIdent(c, {"fill-box", "stroke-box", "view-box", "no-clip"}))) {
            if (++boxes > 2)
                return false;
        } else if (mask && isIdent(c, {"add", "subtract", "intersect", "exclude", "alpha", "luminance",
                                       "match-source", "source-over", "source-in", "source-out",
                                       "source-atop", "destination-over", "destination-in", "destination-out",
                                       "destination-atop", "xor", "clear", "copy"})) {
            ++extras;
        } else if (!mask && isColor(c)) {
            if (!last || ++colors > 1)
                return false;
        } else {
            return false;
        }
        if (images > 1)
            return false;
    }
    return true;
}

bool layeredShorthand(const std::vector<Token>& value, bool mask, QList<QByteArray>& urls) {
    const Layers layers = splitLayers(value, 0, value.size());
    for (size_t i = 0; i < layers.layers.size(); ++i)
        if (!layerParses(value, layers.layers[i], i + 1 == layers.layers.size(), mask, urls))
            return false;
    return true;
}

// [ <image> | none ]#
bool imageList(const std::vector<Token>& value, bool allowList, QList<QByteArray>& urls) {
    const Layers layers = splitLayers(value, 0, value.size());
    if (!allowList && layers.layers.size() != 1)
        return false;
    for (const std::vector<Component>& layer : layers.layers) {
        if (layer.size() != 1)
            return false;
        if (isIdent(layer[0], {"none"}))
            continue;
        if (!isImage(value, layer[0]))
            return false;
        urls += valueUrls(value, layer[0].begin, layer[0].end);
    }
    return true;
}

bool listStyle(const std::vector<Token>& value, QList<QByteArray>& urls) {
    const Layers layers = splitLayers(value, 0, value.size());
    if (layers.layers.size() != 1 || layers.layers[0].empty() || layers.layers[0].size() > 3)
        return false;
    int images = 0;
    for (const Component& c : layers.layers[0]) {
        if (isImage(value, c)) {
            if (++images > 1)
                return false;
            urls += valueUrls(value, c.begin, c.end);
        } else if (c.token->type != Tok::Ident && c.token->type != Tok::String &&
                   !isFunction(c, {"symbols"})) {
            return false;
        }
    }
    return true;
}

bool borderImage(const std::vector<Token>& value, QList<QByteArray>& urls) {
    const Layers layers = splitLayers(value, 0, value.size());
    if (layers.layers.size() != 1 || layers.layers[0].empty())
        return false;
    int images = 0;
    for (const Component& c : layers.layers[0]) {
        if (isImage(value, c)) {
            if (++images > 1)
                return false;
            urls += valueUrls(value, c.begin, c.end);
        } else if (!(isIdent(c, {"none", "fill", "auto", "stretch", "repeat", "round", "space"}) ||
                     isDelim(c, '/') || isNumberLike(c) || isLengthOrPercentage(c))) {
            return false;
        }
    }
    return true;
}

bool content(const std::vector<Token>& value, QList<QByteArray>& urls) {
    const Layers layers = splitLayers(value, 0, value.size());
    if (layers.layers.size() != 1 || layers.layers[0].empty())
        return false;
    const std::vector<Component>& items = layers.layers[0];
    if (items.size() == 1 && isIdent(items[0], {"normal", "none"}))
        return true;
    for (const Component& c : items) {
        if (isImage(value, c)) {
            urls += valueUrls(value, c.begin, c.end);
        } else if (!(c.token->type == Tok::String || isDelim(c, '/') ||
                     isFunction(c, {"counter", "counters", "attr", "leader", "-webkit-image-set"}) ||
                     isIdent(c, {"open-quote", "close-quote", "no-open-quote", "no-close-quote"}))) {
            return false;
        }
    }
    return true;
}

bool cursor(const std::vector<Token>& value, QList<QByteArray>& urls) {
    const Layers layers = splitLayers(value, 0, value.size());
    for (size_t i = 0; i + 1 < layers.layers.size(); ++i) {
        const std::vector<Component>& item = layers.layers[i];
        if (item.empty() || !(item[0].token->type == Tok::Url ||
                              isFunction(item[0], {"url", "image-set", "-webkit-image-set"})))
            return false;
        if (item.size() != 1 && !(item.size() == 3 && isNumberLike(item[1]) && isNumberLike(item[2])))
            return false;
        urls += valueUrls(value, item[0].begin, item[0].end);
    }
    const std::vector<Component>& last = layers.layers.back();
    return last.size() == 1 && isIdent(last[0], {"auto",
                                                 "default",
                                                 "none",
                                                 "context-menu",
                                                 "help",
                                                 "pointer",
                                                 "progress",
                                                 "wait",
                                                 "cell",
                                                 "crosshair",
                                                 "text",
                                                 "vertical-text",
                                                 "alias",
                                                 "copy",
                                                 "move",
                                                 "no-drop",
                                                 "not-allowed",
                                                 "grab",
                                                 "grabbing",
                                                 "e-resize",
                                                 "n-resize",
                                                 "ne-resize",
                                                 "nw-resize",
                                                 "s-resize",
                                                 "se-resize",
                                                 "sw-resize",
                                                 "w-resize",
                                                 "ew-resize",
                                                 "ns-resize",
                                                 "nesw-resize",
                                                 "nwse-resize",
                                                 "col-resize",
                                                 "row-resize",
                                                 "all-scroll",
                                                 "zoom-in",
                                                 "zoom-out",
                                                 "-webkit-grab",
                                                 "-webkit-grabbing",
                                                 "-webkit-zoom-in",
                                                 "-webkit-zoom-out"});
}

bool filterList(const std::vector<Token>& value, QList<QByteArray>& urls) {
    const Layers layers = splitLayers(value, 0, value.size());
    if (layers.layers.size() != 1 || layers.layers[0].empty())
        return false;
    const std::vector<Component>& items = layers.layers[0];
    if (items.size() == 1 && isIdent(items[0], {"none"}))
        return true;
    for (const Component& c : items) {
        if (c.token->type == Tok::Url || isFunction(c, {"url"})) {
            urls += valueUrls(value, c.begin, c.end);
        } else if (!isFunction(c, {"blur", "brightness", "contrast", "drop-shadow", "grayscale", "hue-rotate",
                                   "invert", "opacity", "saturate", "sepia"})) {
            return false;
        }
    }
    return true;
}

bool clipPath(const std::vector<Token>& value, bool shapeOutside, QList<QByteArray>& urls) {
    const Layers layers = splitLayers(value, 0, value.size());
    if (layers.layers.size() != 1 || layers.layers[0].empty())
        return false;
    const std::vector<Component>& items = layers.layers[0];
    if (items.size() == 1 && isIdent(items[0], {"none"}))
        return true;
    if (items.size() == 1 && (items[0].token->type == Tok::Url || isFunction(items[0], {"url"}))) {
        urls += valueUrls(value, items[0].begin, items[0].end);
        return true;
    }
    if (shapeOutside && items.size() == 1 && isImage(value, items[0])) {
        urls += valueUrls(value, items[0].begin, items[0].end);
        return true;
    }
    for (const Component& c : items)
        if (!isFunction(c, {"inset", "circle", "ellipse", "polygon", "path", "rect", "xywh", "shape"}) &&
            !isIdent(c, {"margin-box", "border-box", "padding-box", "content-box", "fill-box", "stroke-box",
                         "view-box"}))
            return false;
    return true;
}

bool markerValue(const std::vector<Token>& value, QList<QByteArray>& urls) {
    const Layers layers = splitLayers(value, 0, value.size());
    if (layers.layers.size() != 1 || layers.layers[0].size() != 1)
        return false;
    const Component& c = layers.layers[0][0];
    if (isIdent(c, {"none"}))
        return true;
    if (c.token->type != Tok::Url && !isFunction(c, {"url"}))
        return false;
    urls += valueUrls(value, c.begin, c.end);
    return true;
}

bool containsVar(const std::vector<Token>& value) {
    return std::any_of(value.begin(), value.end(), [](const Token& t) {
        return t.type == Tok::Function && (is(t.text, "var") || is(t.text, "env") || is(t.text, "attr"));
    });
}

bool isWideKeyword(const std::vector<Token>& value) {
    size_t count = 0;
    const Token* only = nullptr;
    for (const Token& t : value)
        if (t.type != Tok::Whitespace) {
            ++count;
            only = &t;
        }
    return count == 1 && only->type == Tok::Ident &&
           isOneOf(only->text, {"initial", "inherit", "unset", "revert", "revert-layer"});
}

enum class Grammar {
    Background,
    Mask,
    ImageList,
    SingleImage,
    ListStyle,
    BorderImage,
    Content,
    Cursor,
    Filter,
    ClipPath,
    ShapeOutside,
    Marker,
    Any,
};

struct Property {
    const char* name;
    Grammar grammar;
    bool shorthand;
    Slot longhands[3];
};

// The url-carrying properties a browser knows, with the longhand each one sets.
constexpr Property kProperties[] = {
    {"background", Grammar::Background, true, {BackgroundImage}},
    {"background-image", Grammar::ImageList, false, {BackgroundImage}},
    {"list-style", Grammar::ListStyle, true, {ListStyleImage}},
    {"list-style-image", Grammar::SingleImage, false, {ListStyleImage}},
    {"border-image", Grammar::BorderImage, true, {BorderImageSource}},
    {"border-image-source", Grammar::SingleImage, false, {BorderImageSource}},
    {"-webkit-border-image", Grammar::BorderImage, false, {WebkitBorderImage}},
    {"mask", Grammar::Mask, true, {MaskImage}},
    {"-webkit-mask", Grammar::Mask, true, {MaskImage}},
    {"mask-image", Grammar::ImageList, false, {MaskImage}},
    {"-webkit-mask-image", Grammar::ImageList, false, {MaskImage}},
    {"-webkit-mask-box-image", Grammar::BorderImage, true, {MaskBoxImage}},
    {"-webkit-mask-box-image-source", Grammar::SingleImage, false, {MaskBoxImage}},
    {"content", Grammar::Content, false, {Content}},
    {"cursor", Grammar::Cursor, false, {Cursor}},
    {"filter", Grammar::Filter, false, {Filter}},
    {"-webkit-filter", Grammar::Filter, false, {Filter}},
    {"backdrop-filter", Grammar::Filter, false, {BackdropFilter}},
    {"-webkit-backdrop-filter", Grammar::Filter, false, {BackdropFilter}},
    {"clip-path", Grammar::ClipPath, false, {ClipPath}},
    {"-webkit-clip-path", Grammar::ClipPath, false, {ClipPath}},
    {"shape-outside", Grammar::ShapeOutside, false, {ShapeOutside}},
    {"marker", Grammar::Marker, true, {MarkerStart, MarkerMid, MarkerEnd}},
    {"marker-start", Grammar::Marker, false, {MarkerStart}},
    {"marker-mid", Grammar::Marker, false, {MarkerMid}},
    {"marker-end", Grammar::Marker, false, {MarkerEnd}},
    {"-webkit-box-reflect", Grammar::Any, false, {BoxReflect}},
};

} // namespace

QList<QByteArray> valueUrls(const std::vector<Token>& value, size_t begin, size_t end) {
    QList<QByteArray> urls;
    // Which open functions are image-set(), whose plain strings are URLs too.
    std::vector<bool> imageSets;
    bool afterUrlFunction = false;
    for (size_t i = begin; i < end; ++i) {
        const Token& t = value[i];
        if (afterUrlFunction && t.type != Tok::Whitespace) {
            if (t.type == Tok::String)
                urls.append(t.text);
            afterUrlFunction = false;
        }
        switch (t.type) {
        case Tok::Url:
            urls.append(t.text);
            break;
        case Tok::Function:
            imageSets.push_back(is(t.text, "image-set") || is(t.text, "-webkit-image-set"));
            if (is(t.text, "url")) {
                afterUrlFunction = true;
            }
            break;
        case Tok::LParen:
        case Tok::LBracket:
        case Tok::LBrace:
            imageSets.push_back(false);
            break;
        case Tok::RParen:
        case Tok::RBracket:
        case Tok::RBrace:
            if (!imageSets.empty())
                imageSets.pop_back();
            break;
        case Tok::String:
            if (!imageSets.empty() && imageSets.back())
                urls.append(t.text);
            break;
        default:
            break;
        }
    }
    return urls;
}

namespace {

const Property* findProperty(const QByteArray& name) {
    static const QHash<QByteArray, const Property*> byName = [] {
        QHash<QByteArray, const Property*> table;
        for (const Property& property : kProperties)
            table.insert(QByteArray(property.name), &property);
        return table;
    }();
    return byName.value(name, nullptr);
}

} // namespace

bool mayHoldUrls(const QByteArray& name) {
    return findProperty(name) != nullptr;
}

bool propertyUrls(const QByteArray& name, const std::vector<Token>& value, std::vector<PropertyUrls>& out) {
    const Property* property = findProperty(name);
    if (!property || value.empty())
        return false;
    QList<QByteArray> urls;
    bool parses = true;
    if (isWideKeyword(value)) {
        // inherit, initial...: valid, and no image.
    } else if (containsVar(value)) {
        // Checked only once the variables are known; a shorthand's longhands then read empty.
        if (!property->shorthand)
            urls = valueUrls(value, 0, value.size());
    } else {
        switch (property->grammar) {
        case Grammar::Background:
            parses = layeredShorthand(value, false, urls);
            break;
        case Grammar::Mask:
            parses = layeredShorthand(value, true, urls);
            break;
        case Grammar::ImageList:
            parses = imageList(value, true, urls);
            break;
        case Grammar::SingleImage:
            parses = imageList(value, false, urls);
            break;
        case Grammar::ListStyle:
            parses = listStyle(value, urls);
            break;
        case Grammar::BorderImage:
            parses = borderImage(value, urls);
            break;
        case Grammar::Content:
            parses = content(value, urls);
            break;
        case Grammar::Cursor:
            parses = cursor(value, urls);
            break;
        case Grammar::Filter:
            parses = filterList(value, urls);
            break;
        case Grammar::ClipPath:
            parses = clipPath(value, false, urls);
            break;
        case Grammar::ShapeOutside:
            parses = clipPath(value, true, urls);
            break;
        case Grammar::Marker:
            parses = markerValue(value, urls);
            break;
        case Grammar::Any:
            urls = valueUrls(value, 0, value.size());
            break;
        }
    }
    if (!parses)
        return false;
    for (const Slot slot : property->longhands)
        if (slot)
            out.push_back({slot, urls});
    return true;
}

} // namespace css
