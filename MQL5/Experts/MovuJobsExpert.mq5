//+------------------------------------------------------------------+
//|                                               MovuJobsExpert.mq5 |
//| Runs movu requests as background jobs so OnTick never waits: the  |
//| calendar days its news filter needs (held and kept current), the  |
//| VIP status and a heartbeat, started and polled from OnTimer,      |
//| cancelled in OnDeinit.                                            |
//|                                                                  |
//| The news filter holds back new trades around important events of |
//| the symbol's currencies, and while the calendar is not known; the |
//| chart's lower left corner shows its state.                        |
//|                                                                  |
//| Live, the days it fetches are recorded with the moment they were  |
//| seen (Common\Files); in the Strategy Tester it reads them back as |
//| of the simulated moment and calls no DLL, so a backtest repeats,  |
//| sees nothing early and runs where DLLs are refused.               |
//+------------------------------------------------------------------+
#property copyright "movu"
#property version   "1.10"

#include <movu_mt5.mqh>
#include <movu_news.mqh>

input string InpBaseUrl="";                         // Service base URL (empty: keep the terminal's setting)
input int    InpPollMs=500;                         // Poll period, ms
input int    InpRefreshSeconds=300;                 // Refresh every N seconds
input int    InpRetrySeconds=15;                    // Retry a failed request after N seconds
input bool   InpRecordDays=true;                    // Record fetched days for the tester
input bool   InpRecordLocal=false;                  // Record in MQL5\Files (remote agents), not Common\Files
input int    InpTesterClock=MOVU_CLOCK_US_DST;      // Tester: server clock on days not recorded (MOVU_CLOCK_*)
input int    InpTesterUtcOffset=7200;               // Tester: the offset from UTC for MOVU_CLOCK_FIXED, s
input int    InpNewsImportance=MOVU_IMPORTANCE_HIGH;// News: minimum importance (1 low, 2 medium, 3 high)
input int    InpNewsMinutesBefore=30;               // News: no new trades from N minutes before an event
input int    InpNewsMinutesAfter=15;                // News: ... to N minutes after it
input string InpNewsCurrencies="";                  // News: currencies, "EUR,USD" (empty: the symbol's)

#define MOVU_EXPERT_DAYS  4                         // days the filter can need at once
#define MOVU_NEWS_LABEL   "movu_news"
#define MOVU_NEXT_LABEL   "movu_news_next"

CMovuClient      g_movu;
CMovuCalendarDay g_days[MOVU_EXPERT_DAYS];
datetime         g_nextCalendar[MOVU_EXPERT_DAYS];
int              g_logged[MOVU_EXPERT_DAYS];       // events in the day's last journal line
CMovuNewsFilter  g_news;
MovuNewsState    g_state;
datetime         g_fed;                            // the minute the filter was last handed its days
string           g_shownNow;                       // the chart's two lines
string           g_shownNext;
int              g_vipJob;
int              g_heartbeatJob;
datetime         g_nextVip;
datetime         g_nextHeartbeat;

//+------------------------------------------------------------------+
//| An expert keeps its globals across a symbol or timeframe change:  |
//| every piece of state is set here, not at its declaration.         |
//+------------------------------------------------------------------+
int OnInit()
  {
   bool tester=(bool)MQLInfoInteger(MQL_TESTER);
   if(!tester && !MovuDllsAllowed())
      return(INIT_FAILED);
   g_vipJob=0;
   g_heartbeatJob=0;
   g_nextVip=0;
   g_nextHeartbeat=0;
   for(int i=0; i<MOVU_EXPERT_DAYS; i++)
     {
      g_days[i].Reset("");
      g_nextCalendar[i]=0;
      g_logged[i]=-1;
     }
   g_movu.SetRecording(!InpRecordDays ? MOVU_RECORD_OFF : InpRecordLocal ? MOVU_RECORD_LOCAL : MOVU_RECORD_COMMON);
   g_movu.SetTesterClock(InpTesterClock,InpTesterUtcOffset);
//--- the base URL is the terminal's, shared by all its programs: set only when asked
   if(InpBaseUrl!="")
      g_movu.SetBaseUrl(InpBaseUrl);
   g_movu.UseTerminalDataPath();
   g_news.SetImportance(InpNewsImportance);
   g_news.SetWindow(InpNewsMinutesBefore,InpNewsMinutesAfter);
   if(InpNewsCurrencies!="")
      g_news.SetCurrencies(InpNewsCurrencies);
   else if(!g_news.SetSymbol(_Symbol))
      PrintFormat("movu: %s has no currencies: the news filter counts every event",_Symbol);
   g_fed=0;
   g_shownNow="";
   g_shownNext="";
   if(!EventSetMillisecondTimer(InpPollMs<50 ? 50 : InpPollMs))
     {
      Print("movu: cannot start the timer");
      return(INIT_FAILED);
     }
   PrintFormat("movu: started%s, base URL %s",tester ? " in the tester (recorded days)" : "",
               InpBaseUrl!="" ? InpBaseUrl : "as set in the terminal");
   UpdateNews();
   return(INIT_SUCCEEDED);
  }

//+------------------------------------------------------------------+
void OnDeinit(const int reason)
  {
   EventKillTimer();
//--- nothing may stay behind in the library: release every job
   for(int i=0; i<MOVU_EXPERT_DAYS; i++)
      g_days[i].Cancel(g_movu);
   g_movu.CancelAll();
   g_vipJob=0;
   g_heartbeatJob=0;
   ObjectDelete(0,MOVU_NEWS_LABEL);
   ObjectDelete(0,MOVU_NEXT_LABEL);
  }

//+------------------------------------------------------------------+
void OnTick()
  {
   UpdateNews();
//--- new trades only while the filter is clear: blocked and unknown both
//--- hold them back. Managing open positions need not wait.
   if(g_state.state!=MOVU_NEWS_CLEAR)
      return;
//--- entry logic here; g_days[].events hold the calendar days
  }

//+------------------------------------------------------------------+
//| A timer event is not queued while one is pending, so a slow poll  |
//| never piles up.                                                   |
//+------------------------------------------------------------------+
void OnTimer()
  {
   bool tester=(bool)MQLInfoInteger(MQL_TESTER);
   datetime now=(tester ? TimeCurrent() : TimeLocal());
   for(int i=0; i<MOVU_EXPERT_DAYS; i++)
      PollCalendar(i,now);
   PollJob(g_vipJob,"vip status",g_nextVip,now);
   PollJob(g_heartbeatJob,"heartbeat",g_nextHeartbeat,now);
   PlanDays(now);
   UpdateNews();
   if(tester)
      return;                  // the tester gets the calendar only
   if(now>=g_nextVip && g_vipJob==0)
     {
      int id=g_movu.StartVipStatus();
      g_nextVip=now+Started(id,"vip status",MOVU_PATH_VIP);
      g_vipJob=(id>0 ? id : 0);
     }
   if(now>=g_nextHeartbeat && g_heartbeatJob==0)
     {
      //--- texts go into the body JSON-escaped: a program or symbol name
      //--- may hold quotes or backslashes
      string body="{\"program\":"+MovuJsonString(MQLInfoString(MQL_PROGRAM_NAME))+
                  ",\"symbol\":"+MovuJsonString(_Symbol)+"}";
      int id=g_movu.StartRequest(MOVU_PATH_HEARTBEAT,"","POST",body);
      g_nextHeartbeat=now+Started(id,"heartbeat",MOVU_PATH_HEARTBEAT);
      g_heartbeatJob=(id>0 ? id : 0);
     }
  }

//+------------------------------------------------------------------+
//| Seconds until the next start of a kind: the refresh period when   |
//| it started (a job id, or MOVU_OK); when it did not, as soon as    |
//| the kind's pacing allows (busy, too soon) or a short retry (no    |
//| account yet, ...). The client's back-off keeps 429/5xx apart.     |
//+------------------------------------------------------------------+
int Started(const int id_or_code,const string what,const string kind)
  {
   if(id_or_code>=0)
      return(InpRefreshSeconds);
   if(id_or_code==MOVU_ERR_BUSY)
      return(0);
   if(id_or_code==MOVU_ERR_TOO_SOON)
      return(1+g_movu.WaitMs(kind)/1000);
   PrintFormat("movu: %s not started: %d (%s)",what,id_or_code,MovuResultText(id_or_code));
   return(InpRetrySeconds);
  }

//+------------------------------------------------------------------+
//| The slot holding a date, or -1.                                   |
//+------------------------------------------------------------------+
int DaySlot(const string date)
  {
   for(int i=0; i<MOVU_EXPERT_DAYS; i++)
      if(g_days[i].date==date && date!="")
         return(i);
   return(-1);
  }

//+------------------------------------------------------------------+
//| Holds the days the filter needs now: a slot keeps its day while   |
//| needed (today's becomes yesterday's at midnight, never fetched    |
//| again), a free one takes a new day; then starts what is due.      |
//+------------------------------------------------------------------+
void PlanDays(const datetime now)
  {
   datetime days[];
   int n=g_news.NeededDays(g_movu.NowUtc(),days);
   string dates[];
   ArrayResize(dates,n);
   for(int i=0; i<n; i++)
      dates[i]=MovuDate(days[i]);
   for(int i=0; i<n; i++)
     {
      if(DaySlot(dates[i])>=0)
         continue;
      for(int s=0; s<MOVU_EXPERT_DAYS; s++)
        {
         bool needed=false;
         for(int k=0; k<n && !needed; k++)
            needed=(g_days[s].date==dates[k]);
         if(needed || g_days[s].Busy())
            continue;
         g_days[s].Reset(dates[i]);
         g_nextCalendar[s]=0;
         g_logged[s]=-1;
         break;
        }
     }
   for(int i=0; i<n; i++)
     {
      int s=DaySlot(dates[i]);
      if(s<0 || g_days[s].Busy() || now<g_nextCalendar[s])
         continue;
      int rc=g_days[s].Start(g_movu);
      g_nextCalendar[s]=now+Started(rc,"calendar "+dates[i],g_days[s].Kind());
     }
  }

//+------------------------------------------------------------------+
void PollCalendar(const int slot,const datetime now)
  {
   if(!g_days[slot].Busy())
      return;
   int state=g_days[slot].Poll(g_movu);
   if(state==MOVU_JOB_RUNNING)
      return;
   g_fed=0;                    // a day changed: hand the filter its days again
   if(state!=MOVU_JOB_SUCCEEDED)
     {
      //--- a day not recorded (or not yet observed) is the tester's to
      //--- report, once; it is asked again quietly
      if(!(MQLInfoInteger(MQL_TESTER) && g_days[slot].LastResult()==MOVU_ERR_NOT_RECORDED))
         PrintFormat("movu: calendar %s failed: %d (%s) %s",g_days[slot].date,g_days[slot].LastResult(),
                     MovuResultText(g_days[slot].LastResult()),g_days[slot].Error());
      g_nextCalendar[slot]=now+InpRetrySeconds;
      return;
     }
   int n=ArraySize(g_days[slot].events);
   if(n==g_logged[slot])
      return;
   g_logged[slot]=n;
   int high=0;
   for(int i=0; i<n; i++)
      if(g_days[slot].events[i].importance==MOVU_IMPORTANCE_HIGH)
         high++;
   PrintFormat("movu: calendar %s: %d events, %d of high importance",g_days[slot].date,n,high);
  }

//+------------------------------------------------------------------+
//| Hands the filter the days it needs, once a minute or when a day   |
//| changed: live the days held here, in the tester the recorded days |
//| as observed by the simulated moment. A day without data goes in   |
//| as not known.                                                     |
//+------------------------------------------------------------------+
void FeedNews(const datetime utc)
  {
   datetime days[];
   int n=g_news.NeededDays(utc,days);
   MovuCalendarEvent none[];
   for(int i=0; i<n; i++)
     {
      string date=MovuDate(days[i]);
      if(g_movu.DllBlocked())
        {
         MovuCalendarEvent events[];
         bool known=(g_movu.ReplayDay(date,events)==MOVU_DAY_KNOWN);
         g_news.SetDay(days[i],known,events);
         continue;
        }
      int s=DaySlot(date);
      if(s>=0 && g_days[s].Loaded())
         g_news.SetDay(days[i],true,g_days[s].events);
      else
         g_news.SetDay(days[i],false,none);
     }
  }

//+------------------------------------------------------------------+
//| The filter's answer now; a change is shown and logged.            |
//+------------------------------------------------------------------+
void UpdateNews(void)
  {
   datetime utc=g_movu.NowUtc();
   if(utc-utc%60!=g_fed)
     {
      g_fed=utc-utc%60;
      FeedNews(utc);
     }
   g_news.Check(utc,g_state);
   int offset=(MQLInfoInteger(MQL_TESTER) ? (int)(TimeCurrent()-utc) : MovuServerOffset());
   string now_text="movu news: "+MovuNewsNowText(g_state,offset);
   string next_text=MovuNewsNextText(g_state,offset);
   if(now_text==g_shownNow && next_text==g_shownNext)
      return;
   if(now_text!=g_shownNow)
      Print(now_text);
   g_shownNow=now_text;
   g_shownNext=next_text;
   Label(MOVU_NEWS_LABEL,now_text,28,g_state.state==MOVU_NEWS_CLEAR ? clrLimeGreen :
         g_state.state==MOVU_NEWS_BLOCKED ? clrOrangeRed : clrGold);
   Label(MOVU_NEXT_LABEL,next_text,10,clrSilver);
  }

//+------------------------------------------------------------------+
//| One line in the chart's lower left corner (a label holds one).    |
//+------------------------------------------------------------------+
void Label(const string name,const string text,const int y,const color colour)
  {
   if(ObjectFind(0,name)<0)
     {
      ObjectCreate(0,name,OBJ_LABEL,0,0,0);
      ObjectSetInteger(0,name,OBJPROP_CORNER,CORNER_LEFT_LOWER);
      ObjectSetInteger(0,name,OBJPROP_ANCHOR,ANCHOR_LEFT_LOWER);
      ObjectSetInteger(0,name,OBJPROP_XDISTANCE,10);
      ObjectSetInteger(0,name,OBJPROP_YDISTANCE,y);
      ObjectSetInteger(0,name,OBJPROP_SELECTABLE,false);
     }
   ObjectSetInteger(0,name,OBJPROP_COLOR,colour);
   ObjectSetString(0,name,OBJPROP_TEXT,text);
   ChartRedraw(0);
  }

//+------------------------------------------------------------------+
//| Polls one job; when it has finished, logs the outcome and, after  |
//| a failure, asks again soon. The wrapper releases the job.         |
//+------------------------------------------------------------------+
void PollJob(int &id,const string what,datetime &next,const datetime now)
  {
   if(id<=0)
      return;
   string text;
   int http=0;
   int state=g_movu.Poll(id,text,http);
   if(state==MOVU_JOB_RUNNING)
      return;
   int rc=g_movu.LastResult();
   id=0;
   if(state==MOVU_JOB_SUCCEEDED)
      PrintFormat("movu: %s: HTTP %d: %s",what,http,StringSubstr(text,0,200));
   else
     {
      PrintFormat("movu: %s failed: %d (%s), HTTP %d: %s",what,rc,MovuResultText(rc),http,StringSubstr(text,0,200));
      next=now+InpRetrySeconds;
     }
  }
//+------------------------------------------------------------------+
