#pragma once

#include <QLatin1StringView>

// Names and addresses that the program shows to its users.
namespace product {
inline constexpr QLatin1StringView name{"Varnolux"};
inline constexpr QLatin1StringView maker{"Quennick"};
inline constexpr QLatin1StringView makerHost{"www.quennick.com"};
inline constexpr QLatin1StringView homePage{"http://www.quennick.com/"};
inline constexpr QLatin1StringView contactPage{"http://www.quennick.com/contact/"};
inline constexpr QLatin1StringView supportEmail{"support@quennick.com"};
inline constexpr QLatin1StringView licence{"MIT Licence"};
// A public page full of GIF images, served over plain http.
inline constexpr QLatin1StringView samplePage{"http://www.spacejam.com/1996/"};
} // namespace product
