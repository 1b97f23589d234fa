#include "shell/HelpTexts.h"

#include "core/Product.h"

namespace helpText {

QString imageFilter() {
    return QStringLiteral("You can input\r\rBMP,JPG,GIF,PNG,JPEG\r\rhere for example.");
}

QString contact() {
    return QStringLiteral("Questions? Please contact Team Quennick at ") + product::contactPage;
}

QString aboutProgram() {
    return QStringLiteral(
               "This software will download images from a web page (if the web page actually contains "
               "images).\r\rIt will open up the HTML file and scan for links to images within the HTML "
               "file and then save the actual images behind these links to your hard drive.\r\rFiles "
               "that are not HTML such as ASP or ASPX will not work with this software\r\n\r\nIf you "
               "have any questions you can email ") +
           product::supportEmail;
}

} // namespace helpText
