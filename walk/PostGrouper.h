#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

struct TPostSubject;

// An article as the walk reads it, from the overview or from its header.
struct TPostArticle {
  std::int64_t Number = 0;
  std::string_view Subject;
  std::string_view Poster; // From:, empty when not known
  std::int64_t Lines = 0;
  bool InRange = false; // its Lines: lies within the limits
  bool Chosen = false;  // the subject filter passes it
  // Subject as ParseSubject reads it, when the caller has read it already;
  // Subject itself is then not looked at.
  const TPostSubject* Parsed = nullptr;
};

// What becomes of an article.
struct TPostDecision {
  std::int64_t Number = 0;
  std::int64_t Lines = 0;
  bool Fetch = false;
  // Not fetched for the subject filter alone: with a filter that passes
  // everything it would have been.
  bool TurnedAway = false;
};

// Chooses whole posts: the articles whose subjects share a key (see
// ParseSubject) and whose posters are the same where both are known are one
// post, and a post is wanted once any article of it lies within the limits
// and passes the filter. Then every article of it that the filter passes is
// fetched, whatever its own Lines: (the short last part, a PAR2 index of a
// few lines), also when it comes before the article that made the post
// wanted: an article is decided only once ReadAhead articles after it have
// been seen, or at Flush(). A PAR2 file named after a wanted file by the
// same poster ("holiday.par2", "holiday.mkv.vol0+1.par2" for "holiday.mkv")
// comes with it likewise. An article of no post is fetched when it lies
// within the limits and passes the filter.
//
// Memory stays within a constant whatever the group's size: at most
// ReadAhead articles wait, and a post is remembered while articles of it
// wait or, once it was within the limits, until MaxPosts posts seen since
// push it out.
class TPostGrouper {
public:
  static constexpr std::size_t DefaultReadAhead = 1000;
  static constexpr std::size_t DefaultMaxPosts = 10000;

  explicit TPostGrouper(std::size_t ReadAhead = DefaultReadAhead, std::size_t MaxPosts = DefaultMaxPosts);

  // Takes the next article; raises OnDecided for those it can now decide.
  // False, and nothing taken, when the number does not follow the last one.
  bool Add(const TPostArticle& Article);
  // Decides every article waiting: the input has ended, or the walk goes on
  // by headers, where each article is decided as it comes (Add, then Flush).
  void Flush();
  // Forgets the articles waiting, undecided, so that the walk can give them
  // again from any number; the posts stay remembered.
  void Drop();
  // Whether every article given up to Number has been decided.
  bool DecidedThrough(std::int64_t Number) const {
    return FWaiting.empty() || FWaiting.front().Number > Number;
  }
  std::size_t Waiting() const { return FWaiting.size(); }
  // Decides an article, once those before it are, as soon as nothing to
  // come can change what becomes of it: one of no post, one whose post is
  // wanted already. A walk then hands over at once what it would have
  // without posts, and waits only for the parts of posts not yet wanted.
  void SetDecideEarly(bool Early) { FDecideEarly = Early; }
  std::size_t Posts() const { return FPosts.size(); }

  // Each article, in number order, once decided. Must not call back.
  std::function<void(const TPostDecision& Decision)> OnDecided;

private:
  struct TPost {
    std::string Key;
    std::string Poster;         // empty until an article of it names one
    std::string Name;           // the file's, for its PAR2 files to find; empty for a set
    bool Wanted = false;        // an article of it is within the limits and chosen
    bool WantedByRange = false; // an article of it is within the limits
    std::size_t Waiting = 0;    // its articles not yet decided
  };
  using TPosts = std::list<TPost>; // the one seen last first
  struct TWaiting {
    std::int64_t Number;
    std::int64_t Lines;
    TPosts::iterator Post; // FPosts.end() for an article of no post
    bool InRange;
    bool Chosen;
    std::string Repairs; // of a PAR2 file: the stem and poster of what it repairs, as FStems has them
  };
  // The posts within the limits that a stem names, by one poster.
  struct TStem {
    std::int64_t Wanted = 0;
    std::int64_t WantedByRange = 0;
  };

  TPosts::iterator Find(const std::string& Key, std::string_view Poster, std::string_view Name);
  void CountStems(const TPost& Post, std::int64_t Delta);
  void DecideFirst();
  bool Settled(const TWaiting& Article) const;
  void Release(TPosts::iterator Post);
  void Forget(TPosts::iterator Post);

  std::size_t FReadAhead;
  std::size_t FMaxPosts;
  TPosts FPosts;
  std::unordered_map<std::string, TPosts::iterator> FByPoster;  // by key and poster
  std::unordered_map<std::string, TPosts::iterator> FLastOfKey; // the post of a key seen last
  std::unordered_map<std::string, TStem> FStems;                // by stem and poster
  std::deque<TWaiting> FWaiting;
  bool FDecideEarly = false;
  bool FAny = false; // an article was taken since the start or Drop()
  std::int64_t FLast = 0;
};
