#pragma once

#include "ShellTestSupport.h"

#include "shell/Form1.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <functional>
#include <memory>

// A window whose every contact with the outside goes to a recorder: no ping, no browser, no
// dialog, no real message box, and a program folder of its own.
struct TestWindow {
    RecordingMessages boxes;
    QTemporaryDir programFolder;
    // A desktop folder that exists, as most accounts have one; no pictures folder; a home folder.
    QTemporaryDir locations;
    QString desktop = locations.path() + QStringLiteral("/desk top");
    QString pictures = locations.path() + QStringLiteral("/Pictures");
    QString home = locations.path();
    bool openingFails = false;
    QStringList saveSuggestions;
    int draw = 50;
    QList<QUrl> browserStarts;
    QString folderAnswer;
    QStringList folderQuestions; // the initial folder of each chooser opening
    int onlineChecks = 0;
    QStringList folderOpenings;
    QString fileAnswer;
    QString clipboard;
    std::function<void()> onlineCheck;
    std::unique_ptr<Form1> window;

    Form1Seams seams() {
        Form1Seams seams;
        seams.messages = &boxes;
        seams.checkOnline = [this](MessageBoxes&) {
            ++onlineChecks;
            if (onlineCheck)
                onlineCheck();
        };
        seams.drawOneToHundred = [this] { return draw; };
        seams.openBrowser = [this](const QUrl& url) {
            browserStarts << url;
            return !openingFails;
        };
        seams.chooseFolder = [this](QWidget*, const QString&, const QString& initial) {
            folderQuestions << initial;
            return folderAnswer;
        };
        seams.desktopLocation = [this] { return desktop; };
        seams.picturesLocation = [this] { return pictures; };
        seams.homeLocation = [this] { return home; };
        seams.programFolder = programFolder.path();
        seams.openFolder = [this](const QString& folder) {
            folderOpenings << folder;
            return !openingFails;
        };
        seams.chooseSaveFile = [this](QWidget*, const QString&, const QString& suggested) {
            saveSuggestions << suggested;
            return fileAnswer;
        };
        seams.chooseOpenFile = [this](QWidget*, const QString&) { return fileAnswer; };
        seams.copyToClipboard = [this](const QString& text) { clipboard = text; };
        return seams;
    }
    TestWindow() { QDir().mkpath(desktop); }
    Form1& create() {
        window = std::make_unique<Form1>(seams());
        return *window;
    }
    Form1& load() {
        create().Form_Load();
        return *window;
    }
};

// The download click returns at once and the run goes on through the event loop: this lets the
// loop turn until that run is over. A run that never ends fails the test.
inline bool downloadEnds(Form1& window) {
    return QTest::qWaitFor([&] { return !window.runActive(); }, 60000);
}

// The same for a listing the click started.
inline bool listingEnds(Form1& window) {
    return QTest::qWaitFor([&] { return !window.runActive(); }, 60000);
}
