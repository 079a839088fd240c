#include "walk/PostGrouper.h"

#include "walk/PostSubject.h"

#include <optional>
#include <vector>

namespace {

// A name is found by at most this many of its stems.
constexpr int MaxStems = 4;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool EndsNoCase(std::string_view text, std::string_view end) {
  if (text.size() < end.size())
    return false;
  for (std::size_t i = 0; i < end.size(); ++i)
    if (Lower(text[text.size() - end.size() + i]) != end[i])
      return false;
  return true;
}

// The name of the files a PAR2 file repairs, as it names them:
// "holiday.mkv.vol03+04.par2" and "holiday.mkv.par2" repair "holiday.mkv",
// "holiday.par2" "holiday.mkv" or "holiday.part01.rar". Empty for any other
// file.
std::string_view Par2Stem(std::string_view name) {
  if (!EndsNoCase(name, ".par2"))
    return {};
  name.remove_suffix(5);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && EndsNoCase(name.substr(0, dot + 4), ".vol")) {
    const std::string_view volume = name.substr(dot + 4);
    if (!volume.empty() && volume.find_first_not_of("0123456789+-") == std::string_view::npos)
      name = name.substr(0, dot);
  }
  return name;
}

// The stems a PAR2 file may name a file by: the name itself and what comes
// before each of its first dots.
std::vector<std::string_view> Stems(std::string_view name) {
  std::vector<std::string_view> stems{name};
  for (std::size_t dot = name.find('.'); dot != std::string_view::npos && stems.size() < MaxStems;
       dot = name.find('.', dot + 1))
    if (dot > 0)
      stems.push_back(name.substr(0, dot));
  return stems;
}

// A key, stem or name together with a poster, as the indexes hold them. No
// field of an overview line holds a line break.
std::string Indexed(std::string_view text, std::string_view poster) {
  return std::string(text).append(1, '\n').append(poster);
}

} // namespace

TPostGrouper::TPostGrouper(std::size_t ReadAhead, std::size_t MaxPosts)
    : FReadAhead(ReadAhead), FMaxPosts(MaxPosts) {}

bool TPostGrouper::Add(const TPostArticle& Article) {
  if (FAny && Article.Number <= FLast)
    return false;
  FAny = true;
  FLast = Article.Number;
  std::optional<TPostSubject> parsed;
  const TPostSubject& subject =
      Article.Parsed ? *Article.Parsed : parsed.emplace(ParseSubject(Article.Subject));
  const std::string_view par2 = Par2Stem(subject.Name);
  auto post = FPosts.end();
  if (!subject.Key.empty()) {
    post = Find(subject.Key, Article.Poster, subject.Files == 0 && par2.empty() ? subject.Name : "");
    const bool wanted = post->Wanted || (Article.InRange && Article.Chosen);
    const bool byRange = post->WantedByRange || Article.InRange;
    if (wanted != post->Wanted || byRange != post->WantedByRange) {
      CountStems(*post, -1);
      post->Wanted = wanted;
      post->WantedByRange = byRange;
      CountStems(*post, 1);
    }
    ++post->Waiting;
  }
  FWaiting.push_back({Article.Number, Article.Lines, post, Article.InRange, Article.Chosen,
                      par2.empty() ? std::string() : Indexed(par2, Article.Poster)});
  while (FWaiting.size() > FReadAhead || (FDecideEarly && !FWaiting.empty() && Settled(FWaiting.front())))
    DecideFirst();
  // The post seen longest ago goes first. One with articles waiting was seen
  // within the last ReadAhead articles, and so was every post before it: the
  // posts then number no more than the articles waiting.
  while (FPosts.size() > FMaxPosts && FPosts.back().Waiting == 0)
    Forget(std::prev(FPosts.end()));
  return true;
}

void TPostGrouper::Flush() {
  while (!FWaiting.empty())
    DecideFirst();
}

void TPostGrouper::Drop() {
  for (const TWaiting& article : FWaiting)
    if (article.Post != FPosts.end())
      Release(article.Post);
  FWaiting.clear();
  FAny = false;
}

// The post of an article: the one of its key by the same poster, else the
// one of its key whose poster is not known (which then is the article's),
// else a new one. An article whose poster is not known joins the post of its
// key seen last.
TPostGrouper::TPosts::iterator TPostGrouper::Find(const std::string& Key, std::string_view Poster,
                                                  std::string_view Name) {
  auto post = FPosts.end();
  if (const auto same = FByPoster.find(Indexed(Key, Poster)); same != FByPoster.end()) {
    post = same->second;
  } else if (const auto unknown = FByPoster.find(Indexed(Key, {})); unknown != FByPoster.end()) {
    post = unknown->second;
    CountStems(*post, -1);
    FByPoster.erase(unknown);
    post->Poster = Poster;
    FByPoster.emplace(Indexed(Key, Poster), post);
    CountStems(*post, 1);
  } else if (const auto last = FLastOfKey.find(Key); Poster.empty() && last != FLastOfKey.end()) {
    post = last->second;
  }
  if (post == FPosts.end()) {
    FPosts.push_front({Key, std::string(Poster), std::string(Name)});
    post = FPosts.begin();
    FByPoster.emplace(Indexed(Key, Poster), post);
  } else {
    FPosts.splice(FPosts.begin(), FPosts, post);
  }
  FLastOfKey[Key] = post;
  return post;
}

// A PAR2 file finds the files it repairs by their stems, among the posts
// within the limits.
void TPostGrouper::CountStems(const TPost& Post, std::int64_t Delta) {
  if (Post.Name.empty() || !Post.WantedByRange)
    return;
  for (const std::string_view stem : Stems(Post.Name)) {
    const auto it = FStems.try_emplace(Indexed(stem, Post.Poster)).first;
    it->second.WantedByRange += Delta;
    it->second.Wanted += Post.Wanted ? Delta : 0;
    if (it->second.WantedByRange == 0)
      FStems.erase(it);
  }
}

// A PAR2 file of no post may still find the file it repairs among posts to
// come; a post not wanted may still become so.
bool TPostGrouper::Settled(const TWaiting& Article) const {
  if (Article.Post == FPosts.end())
    return Article.Repairs.empty();
  return Article.Post->Wanted;
}

void TPostGrouper::DecideFirst() {
  const TWaiting article = std::move(FWaiting.front());
  FWaiting.pop_front();
  TPostDecision decision{article.Number, article.Lines};
  if (article.Post != FPosts.end()) {
    decision.Fetch = article.Post->Wanted && article.Chosen;
    decision.TurnedAway = !decision.Fetch && article.Post->WantedByRange;
    Release(article.Post);
  } else {
    decision.Fetch = article.InRange && article.Chosen;
    decision.TurnedAway = article.InRange && !article.Chosen;
  }
  // A PAR2 file comes with the file it repairs, posted by the same poster.
  if (const auto stem = FStems.find(article.Repairs); !decision.Fetch && stem != FStems.end()) {
    decision.Fetch = stem->second.Wanted > 0 && article.Chosen;
    decision.TurnedAway = !decision.Fetch;
  }
  if (OnDecided)
    OnDecided(decision);
}

// A post that was never within the limits tells nothing once its articles
// are decided: a later article within them starts it anew, with the same
// outcome.
void TPostGrouper::Release(TPosts::iterator Post) {
  if (--Post->Waiting == 0 && !Post->WantedByRange)
    Forget(Post);
}

void TPostGrouper::Forget(TPosts::iterator Post) {
  CountStems(*Post, -1);
  FByPoster.erase(Indexed(Post->Key, Post->Poster));
  if (const auto last = FLastOfKey.find(Post->Key); last != FLastOfKey.end() && last->second == Post)
    FLastOfKey.erase(last);
  FPosts.erase(Post);
}
