//+------------------------------------------------------------------+
//|                                                   movu_news.mqh  |
//|   A news filter: may a new trade open now, given the calendar     |
//|   events of the traded currencies? One answer, live and in the    |
//|   Strategy Tester. Needs no DLL.                                  |
//+------------------------------------------------------------------+
/*
   CMovuNewsFilter answers from the UTC days it is handed and from
   nothing else: SetDay(day,known,events) gives it one day, as held live
   (CMovuCalendarDay) or as replayed in the tester (CMovuReplay::DayAsOf).
   A day it was not given, or was given as not known, is unknown, and an
   answer that needs such a day is MOVU_NEWS_UNKNOWN, never "no news".

   An event blocks from minutes_before before its time to minutes_after
   after it, both ends included. An event counts when its currency is one
   of the filter's (none set: every currency) and its importance is at
   least the minimum; an event whose importance the calendar did not give
   counts too, as it may be a high one.

      CMovuNewsFilter news;
      news.SetSymbol(_Symbol);                     // base, profit, margin currency
      news.SetImportance(MOVU_IMPORTANCE_HIGH);
      news.SetWindow(30,15);                       // minutes before, after
      ... news.SetDay(day,known,events) for each of NeededDays() ...
      MovuNewsState s;
      if(news.Check(utc_now,s)!=MOVU_NEWS_CLEAR)
         return;                                   // blocked, or not known
*/
#ifndef MOVU_NEWS_MQH
#define MOVU_NEWS_MQH

#include "movu_calendar.mqh"

//--- answers of CMovuNewsFilter::Check
#define MOVU_NEWS_UNKNOWN  (-1)   // a day the answer needs has no data
#define MOVU_NEWS_CLEAR      0    // no event of the filter's blocks now
#define MOVU_NEWS_BLOCKED    1    // an event of the filter's blocks now

#ifndef MOVU_NEWS_MAX_DAYS
#define MOVU_NEWS_MAX_DAYS   8    // days held at most; the earliest goes first
#endif

//+------------------------------------------------------------------+
//| The filter's answer at one moment. Times are UTC.                 |
//+------------------------------------------------------------------+
struct MovuNewsState
  {
   int               state;            // MOVU_NEWS_BLOCKED, _CLEAR or _UNKNOWN
   MovuCalendarEvent blocking;         // BLOCKED: the blocking event whose window ends last
   datetime          until;            // BLOCKED: the end of that window
   datetime          unknown_day;      // UNKNOWN: the first needed day without data (00:00)
   int               next_state;       // BLOCKED: next will block; CLEAR: nothing before horizon;
                                       // UNKNOWN: a day before the next event has no data
   MovuCalendarEvent next;             // the first event whose window starts after now
   datetime          next_from;        // BLOCKED: the start of next's window
   datetime          next_unknown_day; // UNKNOWN: the day without data (00:00)
   datetime          horizon;          // CLEAR: no known event blocks before this moment
  };

//--- a day the filter holds
struct MovuNewsDay
  {
   datetime          day;              // 00:00 UTC
   bool              known;
  };

//+------------------------------------------------------------------+
datetime MovuDayStart(const datetime utc)
  {
   return(utc-utc%86400);
  }

//+------------------------------------------------------------------+
void MovuNoEvent(MovuCalendarEvent &e)
  {
   e.id=0;
   e.event="";
   e.title="";
   e.currency="";
   e.importance=MOVU_IMPORTANCE_UNKNOWN;
   e.source="";
   e.unit="";
   e.time=0;
   e.actual=0;
   e.forecast=0;
   e.previous=0;
   e.has_actual=false;
   e.has_forecast=false;
   e.has_previous=false;
   e.updated=0;
  }

//+------------------------------------------------------------------+
//| CMovuNewsFilter: which currencies, how important, how long before |
//| and after; the days it holds; the answer at a moment.             |
//| A change of currencies, importance or window drops the held days  |
//| (they were kept filtered): hand them over again.                  |
//+------------------------------------------------------------------+
class CMovuNewsFilter
  {
private:
   string            m_currencies[];
   int               m_importance;
   int               m_before;         // seconds
   int               m_after;
   int               m_ahead;          // days searched for the next event, after the first
   MovuNewsDay       m_days[];         // held days, ascending
   MovuCalendarEvent m_events[];       // matching events of the known days, by time, then id

   int               DayIndex(const datetime day) const;
   bool              Known(const datetime day) const;
   int               FirstAfter(const datetime t) const;
   void              Replace(const datetime day,const MovuCalendarEvent &got[]);
   void              Forget(const int index);
   void              AddCurrency(const string code);

public:
                     CMovuNewsFilter(void) : m_importance(MOVU_IMPORTANCE_HIGH),m_before(1800),m_after(900),m_ahead(1) {}
   //--- what counts
   bool              SetSymbol(const string symbol);
   int               SetCurrencies(const string list);
   void              SetImportance(const int minimum);
   void              SetWindow(const int minutes_before,const int minutes_after);
   void              SetLookAhead(const int days);
   int               Currencies(string &codes[]) const;
   bool              Matches(const MovuCalendarEvent &e) const;
   //--- the data
   int               NeededDays(const datetime now_utc,datetime &days[]) const;
   void              SetDay(const datetime day_utc,const bool known,const MovuCalendarEvent &events[]);
   bool              SetDay(const string date,const bool known,const MovuCalendarEvent &events[]);
   void              Clear(void);
   //--- the answer
   int               Check(const datetime now_utc,MovuNewsState &state) const;
  };

//+------------------------------------------------------------------+
//| The symbol's base, profit and margin currencies, as the terminal  |
//| gives them (a CFD may have only some). False when it gives none.  |
//+------------------------------------------------------------------+
bool CMovuNewsFilter::SetSymbol(const string symbol)
  {
   Clear();
   ArrayResize(m_currencies,0);
   AddCurrency(SymbolInfoString(symbol,SYMBOL_CURRENCY_BASE));
   AddCurrency(SymbolInfoString(symbol,SYMBOL_CURRENCY_PROFIT));
   AddCurrency(SymbolInfoString(symbol,SYMBOL_CURRENCY_MARGIN));
   return(ArraySize(m_currencies)>0);
  }

//+------------------------------------------------------------------+
//| Codes in any list: "EUR,USD", "eur usd", "EUR;JPY". Returns how   |
//| many distinct codes it holds; none: every currency counts.        |
//+------------------------------------------------------------------+
int CMovuNewsFilter::SetCurrencies(const string list)
  {
   Clear();
   ArrayResize(m_currencies,0);
   int n=StringLen(list);
   int start=0;
   for(int i=0; i<=n; i++)
     {
      ushort c=(i<n ? StringGetCharacter(list,i) : 0);
      bool letter=((c>='A' && c<='Z') || (c>='a' && c<='z'));
      if(letter)
         continue;
      if(i>start)
         AddCurrency(StringSubstr(list,start,i-start));
      start=i+1;
     }
   return(ArraySize(m_currencies));
  }

//+------------------------------------------------------------------+
void CMovuNewsFilter::AddCurrency(const string code)
  {
   string c=code;
   StringTrimLeft(c);
   StringTrimRight(c);
   StringToUpper(c);
   if(c=="")
      return;
   int n=ArraySize(m_currencies);
   for(int i=0; i<n; i++)
      if(m_currencies[i]==c)
         return;
   ArrayResize(m_currencies,n+1,4);
   m_currencies[n]=c;
  }

//+------------------------------------------------------------------+
int CMovuNewsFilter::Currencies(string &codes[]) const
  {
   int n=ArraySize(m_currencies);
   ArrayResize(codes,n);
   for(int i=0; i<n; i++)
      codes[i]=m_currencies[i];
   return(n);
  }

//+------------------------------------------------------------------+
void CMovuNewsFilter::SetImportance(const int minimum)
  {
   Clear();
   m_importance=minimum;
  }

//+------------------------------------------------------------------+
//| Negative minutes are taken as 0.                                  |
//+------------------------------------------------------------------+
void CMovuNewsFilter::SetWindow(const int minutes_before,const int minutes_after)
  {
   Clear();
   m_before=(minutes_before>0 ? minutes_before*60 : 0);
   m_after=(minutes_after>0 ? minutes_after*60 : 0);
  }

//+------------------------------------------------------------------+
//| How many days after the one the next event is searched from.      |
//+------------------------------------------------------------------+
void CMovuNewsFilter::SetLookAhead(const int days)
  {
   m_ahead=(days>0 ? days : 0);
   if(m_ahead>MOVU_NEWS_MAX_DAYS-2)
      m_ahead=MOVU_NEWS_MAX_DAYS-2;
  }

//+------------------------------------------------------------------+
bool CMovuNewsFilter::Matches(const MovuCalendarEvent &e) const
  {
   if(e.importance!=MOVU_IMPORTANCE_UNKNOWN && e.importance<m_importance)
      return(false);
   int n=ArraySize(m_currencies);
   if(n==0)
      return(true);
   string c=e.currency;
   StringToUpper(c);
   for(int i=0; i<n; i++)
      if(m_currencies[i]==c)
         return(true);
   return(false);
  }

//+------------------------------------------------------------------+
//| The days Check(now_utc) reads, 00:00 UTC each, ascending: hand    |
//| each one over with SetDay before asking.                          |
//+------------------------------------------------------------------+
int CMovuNewsFilter::NeededDays(const datetime now_utc,datetime &days[]) const
  {
   datetime first=MovuDayStart(now_utc-m_after);
   datetime last=MovuDayStart(now_utc+m_before)+m_ahead*86400;
   int n=(int)((last-first)/86400)+1;
   ArrayResize(days,n);
   for(int i=0; i<n; i++)
      days[i]=first+i*86400;
   return(n);
  }

//+------------------------------------------------------------------+
int CMovuNewsFilter::DayIndex(const datetime day) const
  {
   int n=ArraySize(m_days);
   for(int i=0; i<n; i++)
      if(m_days[i].day==day)
         return(i);
   return(-1);
  }

//+------------------------------------------------------------------+
bool CMovuNewsFilter::Known(const datetime day) const
  {
   int i=DayIndex(day);
   return(i>=0 && m_days[i].known);
  }

//+------------------------------------------------------------------+
//| The index of the first held event later than t (binary search).   |
//+------------------------------------------------------------------+
int CMovuNewsFilter::FirstAfter(const datetime t) const
  {
   int low=0,high=ArraySize(m_events);
   while(low<high)
     {
      int mid=(low+high)/2;
      if(m_events[mid].time<=t)
         low=mid+1;
      else
         high=mid;
     }
   return(low);
  }

//+------------------------------------------------------------------+
//| Puts a day's events (sorted, all within the day) in place of what |
//| was held for it: the events of one day are one run of the array.  |
//+------------------------------------------------------------------+
void CMovuNewsFilter::Replace(const datetime day,const MovuCalendarEvent &got[])
  {
   int from=FirstAfter(day-1),to=FirstAfter(day+86399);
   int n=ArraySize(got),held=ArraySize(m_events);
   MovuCalendarEvent joined[];
   ArrayResize(joined,held-(to-from)+n);
   int k=0;
   for(int i=0; i<from; i++)
      joined[k++]=m_events[i];
   for(int i=0; i<n; i++)
      joined[k++]=got[i];
   for(int i=to; i<held; i++)
      joined[k++]=m_events[i];
   ArrayResize(m_events,k);
   for(int i=0; i<k; i++)
      m_events[i]=joined[i];
  }

//+------------------------------------------------------------------+
void CMovuNewsFilter::Forget(const int index)
  {
   MovuCalendarEvent none[];
   Replace(m_days[index].day,none);
   int n=ArraySize(m_days);
   for(int i=index; i<n-1; i++)
      m_days[i]=m_days[i+1];
   ArrayResize(m_days,n-1);
  }

//+------------------------------------------------------------------+
//| Hands over one UTC day: known, with its events as known at the    |
//| moment asked about; or not known (no data yet, never recorded).   |
//| Events outside the day are not the day's and are left out.        |
//+------------------------------------------------------------------+
void CMovuNewsFilter::SetDay(const datetime day_utc,const bool known,const MovuCalendarEvent &events[])
  {
   datetime day=MovuDayStart(day_utc);
   MovuCalendarEvent got[];
   int n=0;
   int count=(known ? ArraySize(events) : 0);
   ArrayResize(got,0,count);
   for(int i=0; i<count; i++)
     {
      if(events[i].time<day || events[i].time>=day+86400 || !Matches(events[i]))
         continue;
      ArrayResize(got,n+1,count);
      //--- in place by time, then id; days come sorted, so this is one step each
      int at=n++;
      while(at>0 && (got[at-1].time>events[i].time || (got[at-1].time==events[i].time && got[at-1].id>events[i].id)))
        {
         got[at]=got[at-1];
         at--;
        }
      got[at]=events[i];
     }
   int index=DayIndex(day);
   if(index<0)
     {
      if(ArraySize(m_days)>=MOVU_NEWS_MAX_DAYS)
         Forget(0);
      int size=ArraySize(m_days);
      ArrayResize(m_days,size+1,MOVU_NEWS_MAX_DAYS);
      index=size;
      while(index>0 && m_days[index-1].day>day)
        {
         m_days[index]=m_days[index-1];
         index--;
        }
      m_days[index].day=day;
     }
   m_days[index].known=known;
   Replace(day,got);
  }

//+------------------------------------------------------------------+
//| The same by date, "YYYY-MM-DD"; false when the date is not one.   |
//+------------------------------------------------------------------+
bool CMovuNewsFilter::SetDay(const string date,const bool known,const MovuCalendarEvent &events[])
  {
   datetime day=0;
   if(StringLen(date)!=10 || !MovuParseTime(date+"T00:00:00Z",day))
      return(false);
   SetDay(day,known,events);
   return(true);
  }

//+------------------------------------------------------------------+
void CMovuNewsFilter::Clear(void)
  {
   ArrayResize(m_days,0);
   ArrayResize(m_events,0);
  }

//+------------------------------------------------------------------+
//| The answer at now_utc: blocked (by which event, until when),      |
//| clear, or unknown; and the next event that will block. Blocked    |
//| is certain even when another needed day is unknown.               |
//+------------------------------------------------------------------+
int CMovuNewsFilter::Check(const datetime now_utc,MovuNewsState &state) const
  {
   state.state=MOVU_NEWS_CLEAR;
   state.until=0;
   state.unknown_day=0;
   state.next_state=MOVU_NEWS_CLEAR;
   state.next_from=0;
   state.next_unknown_day=0;
   state.horizon=0;
   MovuNoEvent(state.blocking);
   MovuNoEvent(state.next);
   int n=ArraySize(m_events);
//--- blocking now: an event from now-after to now+before; the last ends last
   int last=FirstAfter(now_utc+m_before)-1;
   if(last>=0 && m_events[last].time>=now_utc-m_after)
     {
      state.state=MOVU_NEWS_BLOCKED;
      state.blocking=m_events[last];
      state.until=m_events[last].time+m_after;
     }
   else
      for(datetime day=MovuDayStart(now_utc-m_after); day<=now_utc+m_before; day+=86400)
         if(!Known(day))
           {
            state.state=MOVU_NEWS_UNKNOWN;
            state.unknown_day=day;
            break;
           }
//--- the next: the first event later than now+before, with no unknown day before it
   int next=last+1;
   datetime first=MovuDayStart(now_utc+m_before);
   for(datetime day=first; day<=first+m_ahead*86400; day+=86400)
     {
      if(!Known(day))
        {
         state.next_state=MOVU_NEWS_UNKNOWN;
         state.next_unknown_day=day;
         break;
        }
      if(next<n && m_events[next].time<day+86400)
        {
         state.next_state=MOVU_NEWS_BLOCKED;
         state.next=m_events[next];
         state.next_from=m_events[next].time-m_before;
         break;
        }
      state.horizon=day+86400-m_before;
     }
   if(state.next_state!=MOVU_NEWS_CLEAR)
      state.horizon=0;
   return(state.state);
  }

//+------------------------------------------------------------------+
//| The answer now, for a chart or the journal, times at the trade    |
//| server (offset_seconds from UTC): "blocked until 15:45 by USD     |
//| CPI y/y", "clear", "unknown: no calendar for 2024.03.06".         |
//+------------------------------------------------------------------+
string MovuNewsNowText(const MovuNewsState &s,const int offset_seconds)
  {
   if(s.state==MOVU_NEWS_BLOCKED)
      return("blocked until "+TimeToString(s.until+offset_seconds,TIME_MINUTES)+" by "+
             s.blocking.currency+" "+s.blocking.title);
   if(s.state==MOVU_NEWS_UNKNOWN)
      return("unknown: no calendar for "+TimeToString(s.unknown_day,TIME_DATE));
   return("clear");
  }

//+------------------------------------------------------------------+
//| The next event that will block: "next 15:00 USD CPI y/y" (when    |
//| its window opens), "nothing before 2024.03.07 01:30", "next       |
//| unknown: no calendar for 2024.03.06".                             |
//+------------------------------------------------------------------+
string MovuNewsNextText(const MovuNewsState &s,const int offset_seconds)
  {
   if(s.next_state==MOVU_NEWS_BLOCKED)
      return("next "+TimeToString(s.next_from+offset_seconds,TIME_MINUTES)+" "+s.next.currency+" "+s.next.title);
   if(s.next_state==MOVU_NEWS_UNKNOWN)
      return("next unknown: no calendar for "+TimeToString(s.next_unknown_day,TIME_DATE));
   return("nothing before "+TimeToString(s.horizon+offset_seconds,TIME_DATE|TIME_MINUTES));
  }

//+------------------------------------------------------------------+
string MovuNewsText(const MovuNewsState &s,const int offset_seconds)
  {
   return(MovuNewsNowText(s,offset_seconds)+"; "+MovuNewsNextText(s,offset_seconds));
  }

#endif // MOVU_NEWS_MQH
//+------------------------------------------------------------------+
