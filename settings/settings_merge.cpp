#include "settings/settings_merge.h"

#include <algorithm>
#include <string_view>

#include "settings/destinations.h"

namespace velmorix {
namespace {

// A name, or none, at the list position `lastFtp` of `settings`.
struct Choice {
  bool valid = false;  // lastFtp is a position of the list
  std::string name;
};

Choice ChoiceOf(const AppSettings& settings) {
  const int index = ChosenDestination(settings);
  if (index < 0)
    return {};
  return {true, settings.profiles[index].name};
}

const FtpProfile* Named(const AppSettings& settings, std::string_view name) {
  const int index = FindDestination(settings, name);
  return index < 0 ? nullptr : &settings.profiles[index];
}

const FtpProfile* LoadedAs(const AppSettings& settings, std::string_view name) {
  for (int index = 0; index < settings.profileCount; ++index) {
    if (!settings.profiles[index].loadedName.empty() &&
        settings.profiles[index].loadedName == name) {
      return &settings.profiles[index];
    }
  }
  return nullptr;
}

bool SameServer(const FtpProfile& a, const FtpProfile& b) {
  return a.url == b.url && a.port == b.port && a.protocol == b.protocol;
}

}  // namespace

AppSettings MergeSettings(const AppSettings& base, const AppSettings& ours,
                          const AppSettings& theirs, std::vector<std::string>* dropped) {
  std::vector<FtpProfile> result(theirs.profiles.begin(),
                                 theirs.profiles.begin() + theirs.profileCount);
  const auto find = [&result](std::string_view name) {
    return std::find_if(result.begin(), result.end(),
                        [name](const FtpProfile& profile) { return profile.name == name; });
  };
  // What we changed or deleted of the destinations we loaded.
  for (int b = 0; b < base.profileCount; ++b) {
    const FtpProfile& loaded = base.profiles[b];
    const FtpProfile* mine = LoadedAs(ours, loaded.name);
    const auto stored = find(loaded.name);
    if (stored == result.end())
      continue;  // they deleted it (or renamed it): that stands
    if (mine == nullptr) {
      result.erase(stored);  // we deleted it
      continue;
    }
    const FtpProfile theirsBefore = *stored;
    for (const StoredProfileValue& value : StoredProfileValues()) {
      if (!value.boundToServer && !value.SameIn(*mine, loaded))
        value.Copy(*mine, *stored);
    }
    // What was learned about a server stays with that server: the side
    // whose address the merged destination has brings it, and an address
    // put together from both sides has none. Where neither moved, each
    // side keeps what it learned (a certificate accepted here, an
    // encoding decided there).
    const bool weMoved = !SameServer(*mine, loaded);
    for (const StoredProfileValue& value : StoredProfileValues()) {
      if (!value.boundToServer)
        continue;
      const bool weMovedOrLearned = weMoved || !value.SameIn(*mine, loaded);
      if (SameServer(*stored, *mine) && weMovedOrLearned) {
        value.Copy(*mine, *stored);
      } else if (!SameServer(*stored, theirsBefore)) {
        value.Copy(FtpProfile{}, *stored);
      }
    }
    if (mine->name != loaded.name) {
      // A rename onto a name that another destination of theirs holds now
      // takes its place.
      const auto kept = stored - result.begin();
      for (auto other = result.begin(); other != result.end(); ++other) {
        if (other - result.begin() != kept && other->name == mine->name) {
          result.erase(other);
          break;
        }
      }
    }
  }

  // What we added.
  for (int o = 0; o < ours.profileCount; ++o) {
    const FtpProfile& mine = ours.profiles[o];
    if (!mine.loadedName.empty() && Named(base, mine.loadedName) != nullptr)
      continue;
    if (auto stored = find(mine.name); stored != result.end()) {
      for (const StoredProfileValue& value : StoredProfileValues())
        value.Copy(mine, *stored);
    } else if (static_cast<int>(result.size()) < kMaxProfiles) {
      result.push_back(mine);
    } else if (dropped != nullptr) {
      dropped->push_back(mine.name);
    }
  }

  AppSettings merged;
  merged.changeCount = ours.changeCount;
  merged.profileCount = static_cast<int32_t>(result.size());
  for (size_t i = 0; i < result.size(); ++i) {
    merged.profiles[i] = std::move(result[i]);
    merged.profiles[i].loadedName = merged.profiles[i].name;
  }
  merged.deleteMessage =
      ours.deleteMessage != base.deleteMessage ? ours.deleteMessage : theirs.deleteMessage;
  merged.deleteDots = ours.deleteDots != base.deleteDots ? ours.deleteDots : theirs.deleteDots;

  // The chosen destination is followed by name; a choice we did not change
  // is theirs, kept as they stored it when it names no destination of theirs.
  const Choice mine = ChoiceOf(ours);
  const Choice loaded = ChoiceOf(base);
  const bool weChose = mine.valid != loaded.valid || mine.name != loaded.name;
  const Choice wanted = weChose ? mine : ChoiceOf(theirs);
  if (!wanted.valid) {
    merged.lastFtp = weChose ? -1 : theirs.lastFtp;
  } else {
    merged.lastFtp = ListPosition(merged, FindDestination(merged, wanted.name));
  }
  merged.currentProfile = ProfileAtPosition(merged, merged.lastFtp);
  return merged;
}

}  // namespace velmorix
